#include "training/split.h"

#include <bitset>
#include <numeric>

#include <opencv2/imgproc.hpp>

namespace lm::models::training {

namespace {

constexpr std::uint64_t FNV_OFFSET = 14695981039346656037ull;
constexpr std::uint64_t FNV_PRIME = 1099511628211ull;
constexpr std::uint64_t TEST_SHARE = 5;  // one group in five

int bitsApart(std::uint64_t a, std::uint64_t b) { return static_cast<int>(std::bitset<64>(a ^ b).count()); }

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : mParent(n) { std::iota(mParent.begin(), mParent.end(), 0); }
    std::size_t root(std::size_t i) {
        while (mParent[i] != i) i = mParent[i] = mParent[mParent[i]];
        return i;
    }
    void join(std::size_t a, std::size_t b) { mParent[root(a)] = root(b); }

private:
    std::vector<std::size_t> mParent;
};

}  // namespace

std::uint64_t differenceHash(const cv::Mat& image) {
    cv::Mat grey, thumb;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, thumb, cv::Size(9, 8), 0, 0, cv::INTER_AREA);
    std::uint64_t bits = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) bits = (bits << 1) | (thumb.at<uchar>(y, x + 1) > thumb.at<uchar>(y, x) ? 1 : 0);
    return bits;
}

std::vector<int> nearDuplicateGroups(const std::vector<cv::Mat>& crops, int wholeBits, int upperBits) {
    std::vector<std::uint64_t> whole, upper;
    for (const cv::Mat& crop : crops) {
        whole.push_back(differenceHash(crop));
        upper.push_back(differenceHash(crop(cv::Rect(0, 0, crop.cols, crop.rows / 2))));
    }
    UnionFind sets(crops.size());
    for (std::size_t i = 0; i < crops.size(); ++i)
        for (std::size_t j = i + 1; j < crops.size(); ++j)
            if (bitsApart(whole[i], whole[j]) <= wholeBits || bitsApart(upper[i], upper[j]) <= upperBits)
                sets.join(i, j);

    std::vector<int> groupOfRoot(crops.size(), -1), groups(crops.size());
    int next = 0;
    for (std::size_t i = 0; i < crops.size(); ++i) {
        int& group = groupOfRoot[sets.root(i)];
        if (group < 0) group = next++;
        groups[i] = group;
    }
    return groups;
}

std::uint64_t nameHash(const std::string& name) {
    std::uint64_t hash = FNV_OFFSET;
    for (const unsigned char c : name) hash = (hash ^ c) * FNV_PRIME;
    return hash;
}

bool isTestGroup(const std::string& firstName) { return nameHash(firstName) % TEST_SHARE == 0; }

}  // namespace lm::models::training
