#pragma once
// The face detector's candidates on real photographs, labelled by eye: the people, crowds,
// logos and screens of Debian's sample images, which pasted scenes never show. A second
// look fitted on pasted faces alone takes some of these for faces; these candidates teach it
// otherwise and, on photographs kept apart, measure whether it learnt.
//
// photo-candidates.csv: image,x,y,w,h,score,label, one row per candidate of the shipped
// REGULAR detector on the photograph scaled to PHOTO_WIDTH; label 1 a face (any face a
// person counting by eye would count, however small or turned), 0 not a face, ? not judged
// (left out of every fit and count).

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "scene_set.h"

namespace faceeval {

constexpr int PHOTO_WIDTH = 640;

struct PhotoCandidate {
    std::string image;  // "opencv-html/yolo.jpg", "opencv/messi5.jpg" or "skimage/astronaut.png"
    cv::Rect box;       // in the photograph scaled to PHOTO_WIDTH
    float score = 0;    // the detector's reported confidence
    int label = -1;     // 1 face, 0 not a face, -1 not judged
};

// The photographs a harvest looks at: every JPEG and PNG of the three Debian folders at
// least 240 x 180 px.
std::vector<std::string> debianPhotos();

// The photograph scaled to PHOTO_WIDTH, keeping its aspect.
cv::Mat loadPhoto(const std::string& image);

// Every third photograph (by a hash of its name) is kept apart: never fitted on.
Part photoPart(const std::string& image);

void writePhotoCandidates(const std::vector<PhotoCandidate>& candidates, const std::string& path);
std::vector<PhotoCandidate> readPhotoCandidates(const std::string& path);

// Contact sheets for labelling: each candidate's box with as much again around it, numbered
// by its row in the file (from 0), 80 a sheet.
void writeLabelSheets(const std::vector<PhotoCandidate>& candidates, const std::string& directory);

}  // namespace faceeval
