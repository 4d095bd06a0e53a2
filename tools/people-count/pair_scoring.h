#pragma once
// How well an appearance descriptor tells walkers apart: every pair of labelled boxes is a
// same-walker or a different-walker pair, scored with the body tracker's similarity. The
// figures are the ROC AUC (the chance that a random same-walker pair scores above a random
// different-walker pair, ties counting half) and the share of each kind of pair above a
// match threshold.

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "walker_labels.h"

namespace people_count {

// The body pipeline's similarity scale (lm::Encoder::similarity).
constexpr float BODY_SIMILARITY_SCALE = 35.616783f;

// A labelled box and the frame it was cut from, the whole frame kept so that the crop is
// taken as the stage takes it.
struct LabelledCrop {
    int walker = 0;
    int frame = 0;
    cv::Rect box;
    cv::Mat image;  // the frame
};

// Reads the labelled frames of the video (boxes in file order). Throws std::runtime_error
// when the video cannot be opened or ends before a labelled frame.
std::vector<LabelledCrop> readLabelledCrops(const std::string& video, const std::vector<LabelledBox>& boxes);

struct PairScores {
    std::vector<float> same;
    std::vector<float> different;
};

// Walkers are split by id: fitting uses the odd ones, measuring the even ones, so nothing
// measured was fitted on. Of the fitting walkers, ids 1, 5, 9, ... fit the feature
// statistics and ids 3, 7, 11, ... calibrate the scale on pairs the statistics never saw.
bool isFittingWalker(int walker);
bool isStatisticsWalker(int walker);
bool isCalibratingWalker(int walker);

// Every pair i < j of crops whose two walkers both pass `keep`, scored by `similarity`.
PairScores scorePairs(const std::vector<int>& walkers, const std::function<bool(int)>& keep,
                      const std::function<float(std::size_t, std::size_t)>& similarity);

// Mann-Whitney estimate of the ROC AUC; 0.5 when either kind of pair is missing.
double rocAuc(const PairScores& scores);

// The share of the values at or above the threshold (the tracker matches at >=); 0 when empty.
double shareAtOrAbove(const std::vector<float>& values, float threshold);

// The length L of unit descriptors at which the body tracker's similarity,
// 1 - L * sqrt(2 - 2 cos) / BODY_SIMILARITY_SCALE, puts no more than `share` of the given
// different-walker cosines at or above `threshold`. Throws std::invalid_argument when
// there are no cosines or the share is not in (0, 1).
float lengthForFalseMatchShare(std::vector<float> differentCosines, float threshold, double share);

// Per column: the mean and the standard deviation (population) of the rows; a deviation
// below `floorShare` of the mean deviation is raised to it, so that a channel nearly dead
// on the fitting crops cannot blow up on another crop.
struct ColumnStatistics {
    std::vector<float> mean;
    std::vector<float> deviation;
};
ColumnStatistics columnStatistics(const std::vector<std::vector<float>>& rows, float floorShare);

// Within-person whitening W = ((1 - shrink) S + shrink * (trace S / d) I)^(-1/2), with S
// the scatter of the rows around the mean of their person's rows (persons[i] is row i's),
// divided by the number of rows: directions in which one person's crops differ are
// shrunk, the others kept. d x d, row-major, symmetric. Throws std::invalid_argument for
// no rows, rows of different lengths or a shrink outside (0, 1].
std::vector<float> withinPersonWhitening(const std::vector<std::vector<float>>& rows, const std::vector<int>& persons,
                                         double shrink);

}  // namespace people_count
