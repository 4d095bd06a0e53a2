#pragma once
// The fixed split of the labelled faces into a training and a test part. Near duplicates
// (the same photo re-encoded or cropped a little differently, or the same face with and
// without a drawn-on mask) fall into one group, and a whole group goes to one part, so no
// face is measured on a copy of itself.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace lm::models::training {

// 64 bits: whether each pixel of a 9 x 8 grey thumbnail is brighter than its left neighbour.
std::uint64_t differenceHash(const cv::Mat& image);

// One group number per crop (0, 1, ... in order of first appearance): crops whose
// difference hashes, of the whole crop or of its upper half (eyes and brow, which a mask
// leaves alone), differ in at most the given numbers of bits share a group, transitively.
std::vector<int> nearDuplicateGroups(const std::vector<cv::Mat>& crops, int wholeBits = 6, int upperBits = 2);

// The FNV-1a hash of a name: a split fixed by names alone, the same on every machine.
std::uint64_t nameHash(const std::string& name);

// A group belongs to the test part when the FNV-1a hash of its first photo's name is
// divisible by 5: about a fifth of the groups, fixed by the names alone.
bool isTestGroup(const std::string& firstName);

}  // namespace lm::models::training
