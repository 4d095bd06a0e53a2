// lumora-label-sheets: an aid for labelling walkers by eye. It draws the boxes of a tracks
// file (`frame,id,x,y,w,h`, as lumora-people-count --tracks writes them) or of a label file
// (`box,walker,frame,x,y,w,h`) over frames of a video, each box numbered, and tiles the
// frames into contact sheets (PNG) to view one after another.
//
//   lumora-label-sheets --video FILE --boxes FILE --out DIR [--from F] [--to F] [--step N]
//                       [--columns C] [--rows R] [--scale S] [--crop x,y,w,h] [--strips N]
//
// A sheet holds columns x rows frames, `step` frames apart; --crop enlarges one region.
// --strips N draws instead, for every number, one row of N crops spread over its frames
// (rows per image: --rows), to see at a glance whether one number stays one person.

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "options.h"

namespace {

struct Options {
    std::string video;
    std::string boxes;
    std::string out;
    int from = 0;
    int to = -1;  // the last frame
    int step = 5;
    int columns = 2;
    int rows = 2;
    double scale = 1.0;
    cv::Rect crop;   // empty: the whole frame
    int strips = 0;  // above 0: one row of this many crops per number instead of sheets
};

cv::Rect parseRect(const std::string& text) {
    cv::Rect r;
    char comma = 0;
    std::istringstream in(text);
    if (!(in >> r.x >> comma >> r.y >> comma >> r.width >> comma >> r.height) || r.area() <= 0)
        throw std::invalid_argument("--crop takes x,y,w,h");
    return r;
}

Options parse(int argc, char** argv) {
    const auto args = people_count::parseOptions(argc, argv,
                                                 {"--video", "--boxes", "--out", "--from", "--to", "--step",
                                                  "--columns", "--rows", "--scale", "--crop", "--strips"});
    const auto number = [&](const char* key, const char* fallback) {
        return std::stoi(people_count::valueOr(args, key, fallback));
    };
    Options o;
    o.video = people_count::valueOr(args, "--video");
    o.boxes = people_count::valueOr(args, "--boxes");
    o.out = people_count::valueOr(args, "--out");
    o.from = number("--from", "0");
    o.to = number("--to", "-1");
    o.step = std::max(1, number("--step", "5"));
    o.columns = std::max(1, number("--columns", "2"));
    o.rows = std::max(1, number("--rows", "2"));
    o.scale = std::stod(people_count::valueOr(args, "--scale", "1"));
    if (args.count("--crop") > 0) o.crop = parseRect(args.at("--crop"));
    o.strips = std::max(0, number("--strips", "0"));
    if (o.video.empty() || o.boxes.empty() || o.out.empty())
        throw std::invalid_argument(
            "usage: lumora-label-sheets --video FILE --boxes FILE --out DIR [--from F] [--to F] [--step N] "
            "[--columns C] [--rows R] [--scale S] [--crop x,y,w,h] [--strips N]");
    return o;
}

struct NumberedBox {
    int number = 0;
    cv::Rect box;
};

// Reads both layouts: `frame,id,x,y,w,h` and `box,walker,frame,x,y,w,h`; other lines are skipped.
std::map<int, std::vector<NumberedBox>> readBoxes(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::map<int, std::vector<NumberedBox>> byFrame;
    std::string line;
    while (std::getline(in, line)) {
        const bool labelled = line.rfind("box,", 0) == 0;
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(labelled ? line.substr(4) : line);
        int frame = 0;
        NumberedBox b;
        const bool read =
            labelled ? static_cast<bool>(fields >> b.number >> frame) : static_cast<bool>(fields >> frame >> b.number);
        if (!read || !(fields >> b.box.x >> b.box.y >> b.box.width >> b.box.height)) continue;
        byFrame[frame].push_back(b);
    }
    return byFrame;
}

cv::Scalar colourOf(int number) {
    static const cv::Scalar PALETTE[] = {{0, 0, 255},   {0, 200, 0},   {255, 0, 0},   {0, 220, 220}, {220, 0, 220},
                                         {220, 220, 0}, {0, 128, 255}, {255, 128, 0}, {128, 0, 255}, {255, 255, 255}};
    return PALETTE[static_cast<unsigned>(number) % std::size(PALETTE)];
}

// Boxes and numbers are drawn after scaling, so the numbers stay legible on small tiles.
cv::Mat drawFrame(const cv::Mat& frame, int index, const std::vector<NumberedBox>& boxes, const Options& o) {
    const cv::Rect region =
        o.crop.empty() ? cv::Rect(0, 0, frame.cols, frame.rows) : o.crop & cv::Rect(0, 0, frame.cols, frame.rows);
    cv::Mat canvas;
    cv::resize(frame(region), canvas, {}, o.scale, o.scale, cv::INTER_AREA);
    for (const NumberedBox& b : boxes) {
        const cv::Rect shifted = b.box - region.tl();
        const cv::Rect scaled(cv::Point(shifted.tl()) * o.scale, cv::Point(shifted.br()) * o.scale);
        cv::rectangle(canvas, scaled, colourOf(b.number), 1);
        cv::putText(canvas, std::to_string(b.number), scaled.tl() + cv::Point(0, -3), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                    colourOf(b.number), 2);
    }
    cv::putText(canvas, fmt::format("frame {}", index), {6, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {0, 255, 255}, 2);
    return canvas;
}

void writeSheet(const std::vector<cv::Mat>& tiles, const Options& o, int firstFrame) {
    const cv::Size tile = tiles.front().size();
    cv::Mat sheet(tile.height * o.rows, tile.width * o.columns, CV_8UC3, cv::Scalar::all(0));
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const int column = static_cast<int>(i) % o.columns;
        const int row = static_cast<int>(i) / o.columns;
        tiles[i].copyTo(sheet(cv::Rect(column * tile.width, row * tile.height, tile.width, tile.height)));
    }
    const std::string path = fmt::format("{}/sheet_{:04d}.png", o.out, firstFrame);
    if (!cv::imwrite(path, sheet)) throw std::runtime_error("cannot write " + path);
}

void renderSheets(const Options& o) {
    cv::VideoCapture video(o.video);
    if (!video.isOpened()) throw std::runtime_error("cannot open " + o.video);
    const auto boxes = readBoxes(o.boxes);
    std::filesystem::create_directories(o.out);
    const std::size_t perSheet = static_cast<std::size_t>(o.columns * o.rows);
    std::vector<cv::Mat> tiles;
    int firstFrame = o.from;
    cv::Mat frame;
    for (int index = 0; (o.to < 0 || index <= o.to) && video.read(frame); ++index) {
        if (index < o.from || (index - o.from) % o.step != 0) continue;
        if (tiles.empty()) firstFrame = index;
        const auto found = boxes.find(index);
        tiles.push_back(drawFrame(frame, index, found == boxes.end() ? std::vector<NumberedBox>{} : found->second, o));
        if (tiles.size() == perSheet) {
            writeSheet(tiles, o, firstFrame);
            tiles.clear();
        }
    }
    if (!tiles.empty()) writeSheet(tiles, o, firstFrame);
}

constexpr int STRIP_HEIGHT = 110;
constexpr int STRIP_WIDTH = 56;
constexpr int STRIP_LABEL = 150;

struct Crop {
    int frame = 0;
    cv::Rect box;
};

// N crops of each number, spread evenly over the frames in which it has a box.
std::map<int, std::vector<Crop>> sampleCrops(const std::map<int, std::vector<NumberedBox>>& boxes, int perNumber) {
    std::map<int, std::vector<Crop>> all;
    for (const auto& [frame, numbered] : boxes)
        for (const NumberedBox& b : numbered) all[b.number].push_back({frame, b.box});
    std::map<int, std::vector<Crop>> sampled;
    for (const auto& [number, crops] : all) {
        const std::size_t count = std::min<std::size_t>(crops.size(), static_cast<std::size_t>(perNumber));
        for (std::size_t i = 0; i < count; ++i)
            sampled[number].push_back(crops[count > 1 ? i * (crops.size() - 1) / (count - 1) : 0]);
    }
    return sampled;
}

void renderStrips(const Options& o) {
    cv::VideoCapture video(o.video);
    if (!video.isOpened()) throw std::runtime_error("cannot open " + o.video);
    const auto crops = sampleCrops(readBoxes(o.boxes), o.strips);
    std::map<int, std::vector<std::pair<int, std::size_t>>> wanted;  // frame -> (number, slot)
    for (const auto& [number, list] : crops)
        for (std::size_t i = 0; i < list.size(); ++i) wanted[list[i].frame].push_back({number, i});
    std::map<int, cv::Mat> rows;
    for (const auto& [number, list] : crops) {
        rows[number] = cv::Mat(STRIP_HEIGHT + 16, STRIP_LABEL + STRIP_WIDTH * o.strips, CV_8UC3, cv::Scalar::all(0));
        cv::putText(rows[number], fmt::format("{} ({}-{})", number, list.front().frame, list.back().frame), {4, 60},
                    cv::FONT_HERSHEY_SIMPLEX, 0.5, {0, 255, 255}, 1);
    }
    cv::Mat frame;
    for (int index = 0; video.read(frame) && index <= wanted.rbegin()->first; ++index) {
        const auto found = wanted.find(index);
        if (found == wanted.end()) continue;
        for (const auto& [number, slot] : found->second) {
            const cv::Rect box = crops.at(number)[slot].box & cv::Rect(0, 0, frame.cols, frame.rows);
            if (box.empty()) continue;
            cv::Mat tile;
            cv::resize(frame(box), tile, {STRIP_WIDTH, STRIP_HEIGHT});
            const int x = STRIP_LABEL + static_cast<int>(slot) * STRIP_WIDTH;
            tile.copyTo(rows[number](cv::Rect(x, 0, STRIP_WIDTH, STRIP_HEIGHT)));
            cv::putText(rows[number], std::to_string(index), {x + 2, STRIP_HEIGHT + 12}, cv::FONT_HERSHEY_SIMPLEX, 0.35,
                        {255, 255, 255}, 1);
        }
    }
    std::filesystem::create_directories(o.out);
    std::vector<cv::Mat> page;
    int pageCount = 0;
    auto flush = [&] {
        if (page.empty()) return;
        cv::Mat sheet;
        cv::vconcat(page, sheet);
        const std::string path = fmt::format("{}/strips_{:03d}.png", o.out, pageCount++);
        if (!cv::imwrite(path, sheet)) throw std::runtime_error("cannot write " + path);
        page.clear();
    };
    for (auto& [number, row] : rows) {
        page.push_back(row);
        if (static_cast<int>(page.size()) == o.rows) flush();
    }
    flush();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        if (options.strips > 0)
            renderStrips(options);
        else
            renderSheets(options);
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
