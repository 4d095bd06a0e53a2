#include "scene_set.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace faceeval {
namespace {

// Sample images with no person in them (a face there would count as a false positive),
// some with faces of animals or face-like textures on purpose.
const char* const SKIMAGE_BACKGROUNDS[] = {"coffee.png", "chelsea.png", "rocket.jpg", "motorcycle_left.png",
                                           "brick.png",  "grass.png",   "gravel.png", "coins.png",
                                           "page.png",   "text.png",    "horse.png",  "hubble_deep_field.jpg",
                                           "retina.jpg", "ihc.png",     "color.png",  "logo.png"};
const char* const OPENCV_BACKGROUNDS[] = {
    "fruits.jpg",       "home.jpg",         "baboon.jpg",       "building.jpg",
    "board.jpg",        "stuff.jpg",        "aero1.jpg",        "aero3.jpg",
    "HappyFish.jpg",    "graf1.png",        "leuvenA.jpg",      "orange.jpg",
    "apple.jpg",        "starry_night.jpg", "sudoku.png",       "rubberwhale1.png",
    "squirrel_cls.jpg", "butterfly.jpg",    "blox.jpg",         "box_in_scene.png",
    "left01.jpg",       "smarties.png",     "ela_original.jpg", "licenseplate_motion.jpg",
    "pic1.png",         "right01.jpg"};
// vtest.avi: people walking, their faces far below the smallest labelled width.
constexpr int VTEST_FRAMES[] = {0, 120, 240, 360, 480, 600, 720};
const std::string VTEST = "vtest.avi@";

constexpr int MIN_FACE_WIDTH = 20;
constexpr int MAX_FACE_WIDTH = 200;
constexpr int MAX_FACES = 8;
constexpr int EVERY_NTH_HELD_OUT = 4;

// Uniform draws from mt19937's raw output, which the standard fixes, so the same seed
// draws the same set with every standard library.
class Draw {
public:
    explicit Draw(std::uint32_t seed) : mEngine(seed) {}
    double uniform(double low, double high) { return low + (high - low) * (mEngine() / 4294967296.0); }
    int integer(int low, int high) {  // inclusive
        return std::min(high, low + static_cast<int>(uniform(0, high - low + 1)));
    }
    bool chance(double p) { return uniform(0, 1) < p; }
    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[integer(0, static_cast<int>(items.size()) - 1)];
    }

private:
    std::mt19937 mEngine;
};

struct Photo {
    std::string path;  // relative to the photo root
    cv::Size size;
};

// The tight single-face crops of the photo set. Past these indices each class holds
// wider photographs (head and shoulders, several people) whose face box is not the crop;
// the larger and the elongated images are wider shots too.
constexpr int LAST_TIGHT_INDEX_WITH_MASK = 1214;
constexpr int LAST_TIGHT_INDEX_WITHOUT_MASK = 1239;

bool isTightCrop(const cv::Size& size) {
    const double aspect = static_cast<double>(size.width) / size.height;
    return std::max(size.width, size.height) < 250 && aspect > 0.75 && aspect < 1.34;
}

std::vector<Photo> tightPhotos(const std::string& root) {
    std::vector<Photo> photos;
    for (const auto& [folder, lastIndex] :
         {std::pair<std::string, int>{"with_mask", LAST_TIGHT_INDEX_WITH_MASK},
          std::pair<std::string, int>{"without_mask", LAST_TIGHT_INDEX_WITHOUT_MASK}}) {
        for (int index = 0; index <= lastIndex; ++index) {
            char name[64];
            std::snprintf(name, sizeof name, "%s/%s_%04d.jpg", folder.c_str(), folder.c_str(), index);
            const cv::Mat image = cv::imread(root + "/" + name);
            if (!image.empty() && isTightCrop(image.size())) photos.push_back({name, image.size()});
        }
    }
    if (photos.empty()) throw std::runtime_error("no face photographs in " + root);
    return photos;
}

std::vector<std::string> backgroundNames() {
    std::vector<std::string> names;
    for (const char* name : SKIMAGE_BACKGROUNDS) names.push_back(std::string("skimage/") + name);
    for (const char* name : OPENCV_BACKGROUNDS) names.push_back(std::string("opencv/") + name);
    for (const int frame : VTEST_FRAMES) names.push_back(VTEST + std::to_string(frame));
    return names;
}

cv::Rect2d drawBackgroundCrop(Draw& draw, const std::string& background) {
    // The video is shown whole, so that its walkers' faces stay far below 20 px.
    if (background.rfind(VTEST, 0) == 0) return {0, 0, 1, 1};
    const double share = draw.uniform(0.55, 1.0);
    return {draw.uniform(0, 1 - share), draw.uniform(0, 1 - share), share, share};
}

// The box of the pasted photo once rotated: it must stay inside the scene and clear of the others.
cv::Rect rotatedBounds(const cv::Rect& pasted, double angle) {
    const cv::RotatedRect rotated(cv::Point2f(pasted.x + pasted.width / 2.0f, pasted.y + pasted.height / 2.0f),
                                  cv::Size2f(pasted.size()), static_cast<float>(angle));
    return rotated.boundingRect();
}

bool fits(const cv::Rect& bounds, const cv::Size& scene, const std::vector<cv::Rect>& taken) {
    if ((bounds & cv::Rect(cv::Point(), scene)) != bounds) return false;
    return std::none_of(taken.begin(), taken.end(), [&](const cv::Rect& other) { return (bounds & other).area() > 0; });
}

// A face width drawn log-uniformly, so that each doubling of size gets as many faces.
int drawFaceWidth(Draw& draw) {
    return static_cast<int>(std::round(std::exp(draw.uniform(std::log(MIN_FACE_WIDTH), std::log(MAX_FACE_WIDTH)))));
}

std::vector<FaceSpec> drawFaces(Draw& draw, const cv::Size& scene, const std::vector<Photo>& pool) {
    std::vector<FaceSpec> faces;
    std::vector<cv::Rect> taken;
    const int wanted = draw.chance(0.08) ? 0 : draw.integer(1, MAX_FACES);
    for (int attempt = 0; attempt < 60 * MAX_FACES && static_cast<int>(faces.size()) < wanted; ++attempt) {
        const Photo& photo = draw.pick(pool);
        FaceSpec face;
        face.photo = photo.path;
        const int width = drawFaceWidth(draw);
        const int height =
            static_cast<int>(std::round(width * static_cast<double>(photo.size.height) / photo.size.width));
        face.angle = draw.uniform(-15, 15);
        cv::Point topLeft(draw.integer(0, scene.width - width), draw.integer(0, scene.height - height));
        // Some faces stand right beside one already placed, as people in a group do.
        if (!faces.empty() && draw.chance(0.4)) {
            const cv::Rect& neighbour = draw.pick(taken);
            const int gap = draw.integer(0, std::max(2, neighbour.width / 6));
            topLeft = draw.chance(0.5)
                          ? cv::Point(neighbour.br().x + gap, neighbour.y + draw.integer(-height / 4, height / 4))
                          : cv::Point(neighbour.x - gap - width, neighbour.y + draw.integer(-height / 4, height / 4));
        }
        face.face = cv::Rect(topLeft, cv::Size(width, height));
        const cv::Rect bounds = rotatedBounds(pastedRect(face.face), face.angle);
        if (!fits(bounds, scene, taken)) continue;
        face.gain = draw.uniform(0.55, 1.35);
        face.bias = draw.uniform(-25, 25);
        face.blurSigma = draw.chance(0.3) ? draw.uniform(0.5, 2.0) : 0.0;
        taken.push_back(bounds);
        faces.push_back(face);
    }
    return faces;
}

cv::Mat loadBackground(const std::string& background, const Sources& sources) {
    if (background.rfind(VTEST, 0) == 0) {
        cv::VideoCapture capture(sources.opencvData + "/vtest.avi");
        capture.set(cv::CAP_PROP_POS_FRAMES, std::stoi(background.substr(VTEST.size())));
        cv::Mat frame;
        capture >> frame;
        if (frame.empty()) throw std::runtime_error("cannot read " + background);
        return frame;
    }
    const auto slash = background.find('/');
    const std::string folder = background.substr(0, slash) == "skimage" ? sources.skimageData : sources.opencvData;
    cv::Mat image = cv::imread(folder + "/" + background.substr(slash + 1), cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read background " + background);
    return image;
}

// A weight that falls from 1 inside to 0 at the photo's border, so that no straight edge
// around the face gives its place away.
cv::Mat featherMask(const cv::Size& size) {
    cv::Mat mask(size, CV_32F);
    const float ramp = std::max(2.0f, 0.05f * std::min(size.width, size.height));
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const float edge =
                static_cast<float>(std::min({x + 0.5, y + 0.5, size.width - x - 0.5, size.height - y - 0.5}));
            mask.at<float>(y, x) = std::min(1.0f, edge / ramp);
        }
    return mask;
}

void pasteFace(cv::Mat& scene, const FaceSpec& face, const Sources& sources) {
    const cv::Mat photo = cv::imread(sources.photoRoot + "/" + face.photo, cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("cannot read photo " + face.photo);
    const cv::Rect pasted = pastedRect(face.face);
    cv::Mat resized;
    cv::resize(photo, resized, pasted.size(), 0, 0, pasted.width < photo.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
    resized.convertTo(resized, CV_32FC3, face.gain, face.bias);
    if (face.blurSigma > 0) cv::GaussianBlur(resized, resized, cv::Size(), face.blurSigma);
    cv::Mat mask = featherMask(pasted.size());

    // Rotate photo and mask into the scene's frame about the face centre.
    const cv::Rect bounds = rotatedBounds(pasted, face.angle) & cv::Rect(cv::Point(), scene.size());
    const cv::Point2f centre(pasted.x + pasted.width / 2.0f - bounds.x, pasted.y + pasted.height / 2.0f - bounds.y);
    cv::Mat toScene = cv::getRotationMatrix2D(cv::Point2f(pasted.width / 2.0f, pasted.height / 2.0f), face.angle, 1.0);
    toScene.at<double>(0, 2) += centre.x - pasted.width / 2.0;
    toScene.at<double>(1, 2) += centre.y - pasted.height / 2.0;
    cv::Mat warped, warpedMask;
    cv::warpAffine(resized, warped, toScene, bounds.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::warpAffine(mask, warpedMask, toScene, bounds.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);

    cv::Mat region;
    scene(bounds).convertTo(region, CV_32FC3);
    cv::Mat mask3;
    cv::merge(std::vector<cv::Mat>(3, warpedMask), mask3);
    cv::Mat blended = warped.mul(mask3) + region.mul(cv::Scalar::all(1.0) - mask3);
    blended.convertTo(scene(bounds), CV_8UC3);
}

// Four fields x, y, width, height.
template <typename T>
cv::Rect_<T> rectFields(std::istringstream& line) {
    T values[4];
    for (T& value : values) value = static_cast<T>(std::stod(csvField(line)));
    return {values[0], values[1], values[2], values[3]};
}

}  // namespace

std::string csvField(std::istringstream& line) {
    std::string field;
    std::getline(line, field, ',');
    return field;
}

const char* partName(Part part) { return part == Part::Tuning ? "tuning" : "heldout"; }

cv::Rect pastedRect(const cv::Rect& face) {
    const int width = static_cast<int>(std::round(face.width / FACE_SHARE));
    const int height = static_cast<int>(std::round(face.height / FACE_SHARE));
    return {face.x - (width - face.width) / 2, face.y - (height - face.height) / 2, width, height};
}

std::vector<SceneSpec> drawScenes(const Sources& sources, const std::vector<cv::Size>& sizes, int count,
                                  std::uint32_t seed) {
    const std::vector<Photo> photos = tightPhotos(sources.photoRoot);
    std::vector<Photo> tuningPool, heldOutPool;
    for (std::size_t i = 0; i < photos.size(); ++i)
        (i % EVERY_NTH_HELD_OUT == EVERY_NTH_HELD_OUT - 1 ? heldOutPool : tuningPool).push_back(photos[i]);
    const std::vector<std::string> backgrounds = backgroundNames();

    Draw draw(seed);
    std::vector<SceneSpec> scenes;
    for (const cv::Size& size : sizes)
        for (int i = 0; i < count; ++i) {
            SceneSpec scene;
            scene.id = static_cast<int>(scenes.size());
            scene.part = i % EVERY_NTH_HELD_OUT == EVERY_NTH_HELD_OUT - 1 ? Part::HeldOut : Part::Tuning;
            scene.size = size;
            scene.background = draw.pick(backgrounds);
            scene.backgroundCrop = drawBackgroundCrop(draw, scene.background);
            scene.jpegQuality = draw.integer(35, 95);
            scene.faces = drawFaces(draw, size, scene.part == Part::Tuning ? tuningPool : heldOutPool);
            scenes.push_back(scene);
        }
    return scenes;
}

cv::Mat renderScene(const SceneSpec& scene, const Sources& sources) {
    const cv::Mat background = loadBackground(scene.background, sources);
    const cv::Rect2d& c = scene.backgroundCrop;
    const cv::Rect crop =
        cv::Rect(cv::Point(static_cast<int>(c.x * background.cols), static_cast<int>(c.y * background.rows)),
                 cv::Size(static_cast<int>(c.width * background.cols), static_cast<int>(c.height * background.rows))) &
        cv::Rect(cv::Point(), background.size());
    cv::Mat canvas;
    cv::resize(background(crop), canvas, scene.size, 0, 0, cv::INTER_AREA);
    for (const FaceSpec& face : scene.faces) pasteFace(canvas, face, sources);
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", canvas, jpeg, {cv::IMWRITE_JPEG_QUALITY, scene.jpegQuality});
    return cv::imdecode(jpeg, cv::IMREAD_COLOR);
}

void writeScenes(const std::vector<SceneSpec>& scenes, const std::string& directory) {
    std::ofstream sceneFile(directory + "/scenes.csv"), faceFile(directory + "/faces.csv");
    sceneFile << "scene,part,width,height,background,crop_x,crop_y,crop_w,crop_h,jpeg_quality\n";
    faceFile << "scene,photo,face_x,face_y,face_w,face_h,angle,gain,bias,blur_sigma\n";
    char line[512];
    for (const SceneSpec& s : scenes) {
        std::snprintf(line, sizeof line, "%d,%s,%d,%d,%s,%.4f,%.4f,%.4f,%.4f,%d\n", s.id, partName(s.part),
                      s.size.width, s.size.height, s.background.c_str(), s.backgroundCrop.x, s.backgroundCrop.y,
                      s.backgroundCrop.width, s.backgroundCrop.height, s.jpegQuality);
        sceneFile << line;
        for (const FaceSpec& f : s.faces) {
            std::snprintf(line, sizeof line, "%d,%s,%d,%d,%d,%d,%.2f,%.3f,%.1f,%.2f\n", s.id, f.photo.c_str(), f.face.x,
                          f.face.y, f.face.width, f.face.height, f.angle, f.gain, f.bias, f.blurSigma);
            faceFile << line;
        }
    }
    if (!sceneFile || !faceFile) throw std::runtime_error("cannot write the scene labels into " + directory);
}

std::vector<SceneSpec> readScenes(const std::string& directory) {
    std::ifstream sceneFile(directory + "/scenes.csv"), faceFile(directory + "/faces.csv");
    if (!sceneFile || !faceFile) throw std::runtime_error("no scenes.csv and faces.csv in " + directory);
    std::vector<SceneSpec> scenes;
    std::string text;
    std::getline(sceneFile, text);
    while (std::getline(sceneFile, text)) {
        std::istringstream line(text);
        SceneSpec s;
        s.id = std::stoi(csvField(line));
        s.part = csvField(line) == "heldout" ? Part::HeldOut : Part::Tuning;
        s.size.width = std::stoi(csvField(line));
        s.size.height = std::stoi(csvField(line));
        s.background = csvField(line);
        s.backgroundCrop = rectFields<double>(line);
        s.jpegQuality = std::stoi(csvField(line));
        if (s.id != static_cast<int>(scenes.size())) throw std::runtime_error("scenes.csv: scenes out of order");
        scenes.push_back(s);
    }
    std::getline(faceFile, text);
    while (std::getline(faceFile, text)) {
        std::istringstream line(text);
        const int id = std::stoi(csvField(line));
        FaceSpec f;
        f.photo = csvField(line);
        f.face = rectFields<int>(line);
        f.angle = std::stod(csvField(line));
        f.gain = std::stod(csvField(line));
        f.bias = std::stod(csvField(line));
        f.blurSigma = std::stod(csvField(line));
        scenes.at(id).faces.push_back(f);
    }
    return scenes;
}

std::vector<bool> facesOfClass(const SceneSpec& scene, bool masked) {
    std::vector<bool> ofClass;
    for (const FaceSpec& face : scene.faces) ofClass.push_back(face.masked() == masked);
    return ofClass;
}

}  // namespace faceeval
