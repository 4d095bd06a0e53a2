#pragma once
// The labelled face scenes: real face photographs pasted at known boxes onto real
// backgrounds. A scene is fully described by its row in scenes.csv and its faces' rows in
// faces.csv, so the committed labels regenerate the same pixels on any machine with the
// same source images; the random draws happen only when the set is made.

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace faceeval {

enum class Part { Tuning, HeldOut };

// One pasted face. The labelled face is the central part of the pasted photo (FACE_SHARE of
// its width and height), because the photographs are tight crops whose border holds hair,
// ears and background rather than face.
struct FaceSpec {
    std::string photo;  // relative to the photo root, e.g. "with_mask/with_mask_0012.jpg"
    cv::Rect face;      // the labelled face box in scene pixels
    double angle = 0;   // degrees, counter-clockwise, about the face centre
    double gain = 1;    // pixel' = pixel * gain + bias, before blur
    double bias = 0;
    double blurSigma = 0;  // Gaussian blur of the pasted photo, 0 for none

    // Masked faces are faces too, and detectors trained on bare faces may miss them.
    bool masked() const { return photo.rfind("with_mask/", 0) == 0; }
};

struct SceneSpec;

// Per face of the scene, in its order: whether it is of the class asked for (masked or bare),
// the `counted` of a class tally.
std::vector<bool> facesOfClass(const SceneSpec& scene, bool masked);

struct SceneSpec {
    int id = 0;
    Part part = Part::Tuning;
    cv::Size size;
    std::string background;     // an image path, or "vtest.avi@N" for frame N of that video
    cv::Rect2d backgroundCrop;  // fractions of the background image
    int jpegQuality = 90;       // the whole scene is JPEG-coded once at this quality
    std::vector<FaceSpec> faces;
};

constexpr double FACE_SHARE = 0.8;

// Debian's sample images: python3-skimage's data, opencv-doc's sample data (with vtest.avi)
// and the photographs of opencv-doc's HTML documentation.
const char* const SKIMAGE_DATA = "/usr/lib/python3/dist-packages/skimage/data";
const char* const OPENCV_DATA = "/usr/share/doc/opencv-doc/examples/data";
const char* const OPENCV_HTML = "/usr/share/doc/opencv-doc/opencv4/html";

// Where the photographs and the backgrounds come from.
struct Sources {
    std::string photoRoot;    // the face photo set (with_mask/, without_mask/)
    std::string skimageData;  // Debian's python3-skimage sample images
    std::string opencvData;   // Debian's opencv-doc sample images and vtest.avi
};

// The rectangle of the pasted photo for a labelled face.
cv::Rect pastedRect(const cv::Rect& face);

// Draws a whole set: for each scene size, `count` scenes, every fourth held out. Held-out
// scenes use photographs that no tuning scene uses.
std::vector<SceneSpec> drawScenes(const Sources& sources, const std::vector<cv::Size>& sizes, int count,
                                  std::uint32_t seed);

// The scene's pixels, 8-bit BGR, exactly as its description gives them.
cv::Mat renderScene(const SceneSpec& scene, const Sources& sources);

// scenes.csv and faces.csv in a directory.
void writeScenes(const std::vector<SceneSpec>& scenes, const std::string& directory);
std::vector<SceneSpec> readScenes(const std::string& directory);

const char* partName(Part part);

// The next comma-separated field of a label file's line.
std::string csvField(std::istringstream& line);

}  // namespace faceeval
