#include "pair_scoring.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include <opencv2/videoio.hpp>

namespace people_count {

std::vector<LabelledCrop> readLabelledCrops(const std::string& video, const std::vector<LabelledBox>& boxes) {
    cv::VideoCapture capture(video);
    if (!capture.isOpened()) throw std::runtime_error("cannot open " + video);
    int lastFrame = -1;
    for (const LabelledBox& box : boxes) lastFrame = std::max(lastFrame, box.frame);
    std::vector<cv::Mat> frames(static_cast<std::size_t>(lastFrame + 1));
    for (int index = 0; index <= lastFrame; ++index)
        if (!capture.read(frames[index]))
            throw std::runtime_error(video + " ends before frame " + std::to_string(lastFrame));
    std::vector<LabelledCrop> crops;
    for (const LabelledBox& box : boxes) crops.push_back({box.walker, box.frame, box.box, frames[box.frame]});
    return crops;
}

bool isFittingWalker(int walker) { return walker % 2 != 0; }

bool isStatisticsWalker(int walker) { return walker % 4 == 1; }

bool isCalibratingWalker(int walker) { return walker % 4 == 3; }

PairScores scorePairs(const std::vector<int>& walkers, const std::function<bool(int)>& keep,
                      const std::function<float(std::size_t, std::size_t)>& similarity) {
    PairScores scores;
    for (std::size_t i = 0; i < walkers.size(); ++i) {
        if (!keep(walkers[i])) continue;
        for (std::size_t j = i + 1; j < walkers.size(); ++j) {
            if (!keep(walkers[j])) continue;
            (walkers[i] == walkers[j] ? scores.same : scores.different).push_back(similarity(i, j));
        }
    }
    return scores;
}

double rocAuc(const PairScores& scores) {
    if (scores.same.empty() || scores.different.empty()) return 0.5;
    std::vector<float> different = scores.different;
    std::sort(different.begin(), different.end());
    double wins = 0.0;
    for (const float s : scores.same) {
        const auto below = std::lower_bound(different.begin(), different.end(), s);
        const auto notAbove = std::upper_bound(below, different.end(), s);
        wins += static_cast<double>(below - different.begin()) + 0.5 * static_cast<double>(notAbove - below);
    }
    return wins / (static_cast<double>(scores.same.size()) * static_cast<double>(different.size()));
}

double shareAtOrAbove(const std::vector<float>& values, float threshold) {
    if (values.empty()) return 0.0;
    const auto count = std::count_if(values.begin(), values.end(), [threshold](float v) { return v >= threshold; });
    return static_cast<double>(count) / static_cast<double>(values.size());
}

float lengthForFalseMatchShare(std::vector<float> differentCosines, float threshold, double share) {
    if (differentCosines.empty()) throw std::invalid_argument("no different-walker pairs to calibrate on");
    if (!(share > 0.0 && share < 1.0)) throw std::invalid_argument("the false-match share must lie in (0, 1)");
    std::sort(differentCosines.begin(), differentCosines.end());
    // The highest cosine that must stay below the threshold; the ones above it are the share.
    const auto above = static_cast<std::size_t>(share * static_cast<double>(differentCosines.size()));
    const float cosine = differentCosines[differentCosines.size() - 1 - std::min(above, differentCosines.size() - 1)];
    const double gap = std::sqrt(std::max(1e-12, 2.0 - 2.0 * static_cast<double>(cosine)));
    // Just past the threshold, so that this pair itself falls below it.
    return static_cast<float>((1.0 - threshold) * BODY_SIMILARITY_SCALE / gap * (1.0 + 1e-4));
}

ColumnStatistics columnStatistics(const std::vector<std::vector<float>>& rows, float floorShare) {
    if (rows.empty()) throw std::invalid_argument("no rows to fit statistics on");
    const std::size_t columns = rows.front().size();
    std::vector<double> sum(columns, 0.0), squares(columns, 0.0);
    for (const auto& row : rows) {
        if (row.size() != columns) throw std::invalid_argument("rows of different lengths");
        for (std::size_t c = 0; c < columns; ++c) {
            sum[c] += row[c];
            squares[c] += static_cast<double>(row[c]) * row[c];
        }
    }
    ColumnStatistics statistics{std::vector<float>(columns), std::vector<float>(columns)};
    const double n = static_cast<double>(rows.size());
    double deviationSum = 0.0;
    for (std::size_t c = 0; c < columns; ++c) {
        const double mean = sum[c] / n;
        statistics.mean[c] = static_cast<float>(mean);
        statistics.deviation[c] = static_cast<float>(std::sqrt(std::max(0.0, squares[c] / n - mean * mean)));
        deviationSum += statistics.deviation[c];
    }
    const auto floor = static_cast<float>(floorShare * deviationSum / static_cast<double>(columns));
    for (float& d : statistics.deviation) d = std::max(d, floor);
    return statistics;
}

std::vector<float> withinPersonWhitening(const std::vector<std::vector<float>>& rows, const std::vector<int>& persons,
                                         double shrink) {
    if (rows.empty() || rows.size() != persons.size()) throw std::invalid_argument("no rows, or not one person a row");
    if (!(shrink > 0.0 && shrink <= 1.0)) throw std::invalid_argument("the shrink must lie in (0, 1]");
    const int d = static_cast<int>(rows.front().size());
    std::map<int, std::vector<std::size_t>> rowsOf;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (static_cast<int>(rows[i].size()) != d) throw std::invalid_argument("rows of different lengths");
        rowsOf[persons[i]].push_back(i);
    }
    cv::Mat scatter = cv::Mat::zeros(d, d, CV_64F);
    for (const auto& [person, members] : rowsOf) {
        cv::Mat centred(static_cast<int>(members.size()), d, CV_64F);
        for (std::size_t k = 0; k < members.size(); ++k)
            cv::Mat(rows[members[k]], false).reshape(1, 1).convertTo(centred.row(static_cast<int>(k)), CV_64F);
        cv::Mat mean;
        cv::reduce(centred, mean, 0, cv::REDUCE_AVG);
        for (int k = 0; k < centred.rows; ++k) centred.row(k) -= mean;
        scatter += centred.t() * centred;
    }
    scatter /= static_cast<double>(rows.size());
    cv::Mat values, vectors;
    cv::eigen(scatter, values, vectors);  // rows of `vectors` are the eigenvectors
    const double average = cv::trace(scatter)[0] / d;
    if (!(average > 0.0)) throw std::invalid_argument("no person's rows differ: nothing to whiten against");
    cv::Mat gains = cv::Mat::zeros(d, d, CV_64F);
    for (int k = 0; k < d; ++k)
        gains.at<double>(k, k) =
            1.0 / std::sqrt((1.0 - shrink) * std::max(0.0, values.at<double>(k)) + shrink * average);
    const cv::Mat whitening = vectors.t() * gains * vectors;
    std::vector<float> result(static_cast<std::size_t>(d) * d);
    for (int r = 0; r < d; ++r)
        for (int c = 0; c < d; ++c)
            result[static_cast<std::size_t>(r) * d + c] = static_cast<float>(whitening.at<double>(r, c));
    return result;
}

}  // namespace people_count
