#include "photo_candidates.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "training/split.h"

namespace faceeval {

namespace {

namespace fs = std::filesystem;

struct PhotoFolder {
    const char* prefix;
    const char* path;
};
const PhotoFolder FOLDERS[] = {{"opencv-html", OPENCV_HTML}, {"opencv", OPENCV_DATA}, {"skimage", SKIMAGE_DATA}};
const cv::Size SMALLEST_PHOTO(240, 180);
constexpr int PARTS = 3;

std::string pathOf(const std::string& image) {
    const auto slash = image.find('/');
    for (const PhotoFolder& folder : FOLDERS)
        if (image.compare(0, slash, folder.prefix) == 0) return std::string(folder.path) + image.substr(slash);
    throw std::invalid_argument("no photo folder for " + image);
}

bool isPhotoFile(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
    return extension == ".jpg" || extension == ".jpeg" || extension == ".png";
}

const char* labelText(int label) { return label == 1 ? "1" : label == 0 ? "0" : "?"; }

}  // namespace

std::vector<std::string> debianPhotos() {
    std::vector<std::string> photos;
    for (const PhotoFolder& folder : FOLDERS) {
        if (!fs::is_directory(folder.path)) throw std::runtime_error(std::string("no folder ") + folder.path);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.path))
            if (entry.is_regular_file() && isPhotoFile(entry.path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const cv::Mat image = cv::imread(std::string(folder.path) + "/" + name, cv::IMREAD_COLOR);
            if (image.cols >= SMALLEST_PHOTO.width && image.rows >= SMALLEST_PHOTO.height)
                photos.push_back(std::string(folder.prefix) + "/" + name);
        }
    }
    return photos;
}

cv::Mat loadPhoto(const std::string& image) {
    const cv::Mat photo = cv::imread(pathOf(image), cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("cannot read " + image);
    cv::Mat scaled;
    const double scale = static_cast<double>(PHOTO_WIDTH) / photo.cols;
    cv::resize(photo, scaled, cv::Size(PHOTO_WIDTH, std::max(1, static_cast<int>(photo.rows * scale + 0.5))), 0, 0,
               scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    return scaled;
}

Part photoPart(const std::string& image) {
    return lm::models::training::nameHash(image) % PARTS == 0 ? Part::HeldOut : Part::Tuning;
}

void writePhotoCandidates(const std::vector<PhotoCandidate>& candidates, const std::string& path) {
    std::ofstream out(path);
    out << "image,x,y,w,h,score,label\n";
    for (const PhotoCandidate& c : candidates)
        out << c.image << ',' << c.box.x << ',' << c.box.y << ',' << c.box.width << ',' << c.box.height << ','
            << c.score << ',' << labelText(c.label) << '\n';
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<PhotoCandidate> readPhotoCandidates(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<PhotoCandidate> candidates;
    std::string text;
    std::getline(in, text);
    for (int row = 2; std::getline(in, text); ++row) {
        if (text.empty()) continue;
        std::istringstream line(text);
        PhotoCandidate c;
        try {
            c.image = csvField(line);
            int v[4];
            for (int& value : v) value = std::stoi(csvField(line));
            c.box = {v[0], v[1], v[2], v[3]};
            c.score = std::stof(csvField(line));
        } catch (const std::logic_error&) {
            throw std::runtime_error(path + ":" + std::to_string(row) + ": not image,x,y,w,h,score,label");
        }
        const std::string label = csvField(line);
        if (label != "1" && label != "0" && label != "?")
            throw std::runtime_error(path + ":" + std::to_string(row) + ": label is 1, 0 or ?, not '" + label + "'");
        c.label = label == "1" ? 1 : label == "0" ? 0 : -1;
        candidates.push_back(c);
    }
    return candidates;
}

void writeLabelSheets(const std::vector<PhotoCandidate>& candidates, const std::string& directory) {
    constexpr int TILE = 120, COLUMNS = 10, ROWS = 8;
    fs::create_directories(directory);
    std::string loadedName;
    cv::Mat photo;
    cv::Mat sheet;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const int slot = static_cast<int>(i % (COLUMNS * ROWS));
        if (slot == 0) sheet = cv::Mat(ROWS * TILE, COLUMNS * TILE, CV_8UC3, cv::Scalar::all(40));
        const PhotoCandidate& c = candidates[i];
        if (c.image != loadedName) {
            photo = loadPhoto(c.image);
            loadedName = c.image;
        }
        // A square of twice the box's larger side around its centre (grey beyond the photo),
        // so that a face is told from a face-like patch, with the box drawn after scaling.
        const int side = 2 * std::max(c.box.width, c.box.height);
        cv::Mat padded;
        cv::copyMakeBorder(photo, padded, side, side, side, side, cv::BORDER_CONSTANT, cv::Scalar::all(128));
        const cv::Point centre(c.box.x + c.box.width / 2 + side, c.box.y + c.box.height / 2 + side);
        const cv::Rect context(centre.x - side / 2, centre.y - side / 2, side, side);
        cv::Mat tile;
        cv::resize(padded(context), tile, cv::Size(TILE - 16, TILE - 16));
        const double scale = static_cast<double>(TILE - 16) / side;
        const cv::Rect drawn(cv::Point(static_cast<int>((c.box.x + side - context.x) * scale),
                                       static_cast<int>((c.box.y + side - context.y) * scale)),
                             cv::Size(static_cast<int>(c.box.width * scale), static_cast<int>(c.box.height * scale)));
        cv::rectangle(tile, drawn, {0, 255, 0}, 1);
        const cv::Rect cell((slot % COLUMNS) * TILE + 8, (slot / COLUMNS) * TILE + 14, TILE - 16, TILE - 16);
        tile.copyTo(sheet(cell));
        cv::putText(sheet, std::to_string(i), {cell.x, cell.y - 3}, cv::FONT_HERSHEY_PLAIN, 0.9, {0, 255, 255});
        if (slot == COLUMNS * ROWS - 1 || i + 1 == candidates.size())
            cv::imwrite(directory + "/sheet_" + std::to_string(i / (COLUMNS * ROWS)) + ".png", sheet);
    }
}

}  // namespace faceeval
