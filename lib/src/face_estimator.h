#pragma once
// What the five face estimators share: a model that follows the settings, switches that
// leave the faces untouched, and one forward pass per frame over a square crop of every face. Each
// estimator names its model, its input size and the heads it reads, and decodes their
// outputs into its own fields of the records.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

// Faces narrower or lower than this are left to themselves by the estimators.
const cv::Size MIN_BBOX_SIZE(15, 15);
// The mean of the faces the face networks were trained on, per channel after the swap to
// RGB: what every face crop has subtracted, here and wherever a tool feeds those networks.
const cv::Scalar FACE_CROP_MEAN(131.0912, 103.8827, 91.4953, 0);

// The square an estimator crops for a face box: the box padded by 30 %, shrunk by 6.25 %
// of that, clipped to the frame, and the largest square centred in the result (an odd
// surplus pixel falls to the right or the bottom).
cv::Rect faceCropSquare(const cv::Rect& box, const cv::Mat& frame);

// The square to run an estimator on, or an empty rectangle when the face is skipped:
// smaller than MIN_BBOX_SIZE, or lying wholly outside the frame.
cv::Rect estimatorCrop(const cv::Rect& box, const cv::Mat& frame);

class FaceEstimator : public ISettingsObserver {
public:
    ~FaceEstimator() override = default;
    FaceEstimator(const FaceEstimator&) = delete;
    FaceEstimator& operator=(const FaceEstimator&) = delete;

    // Reloads the model when the settings ask for another model or target than the one
    // held, or for other heads; sets the target on every call, then takes the switches.
    // A failed reload propagates (see loadModel) and leaves model, heads and switches as
    // they were, so the next update asking for the same is tried again.
    void onSettingsUpdate(const Settings& settings) final;

    // One forward pass over the faces that estimatorCrop accepts (see StageModel::forwardEach),
    // each crop resized to the input square, red and blue swapped, mean subtracted, as 32-bit
    // floats; then each face's outputs are decoded into it, in list order. Switched off,
    // touches nothing.
    void estimate(const cv::Mat& frame, std::vector<Person>& people);

    // The target last applied to the network (cv::dnn::Target).
    int preferableTarget() const;

protected:
    // The model's base name (see modelFiles), the side of the square it reads and the heads
    // it is asked for.
    FaceEstimator(const char* baseName, int inputSide, std::vector<std::string> heads);

    // The outputs to ask the network for under these settings (under the estimator's lock);
    // by default the heads given at construction, whatever the settings.
    virtual std::vector<std::string> headsFor(const Settings& settings) const;
    // Takes the estimator's switches from the settings; false when they leave it nothing
    // to write. Called under the estimator's lock, after the model is in place.
    virtual bool takeSwitches(const Settings& settings) = 0;
    // Writes the estimator's fields of one face from the outputs of the heads, in their
    // order. Called under the estimator's lock.
    virtual void decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const = 0;

private:
    const char* const mBaseName;
    const cv::Size mInputSize;
    mutable std::mutex mMutex;
    StageModel mModel;
    std::vector<std::string> mHeads;
    std::atomic<bool> mSwitchedOn{false};
};

}  // namespace lm
