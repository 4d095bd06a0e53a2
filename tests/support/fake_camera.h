#pragma once
// A camera that is a video file, put in place of the process's camera back end for as long
// as it lives: a camera source gives the file's frames and then fails to read, as a camera
// that is unplugged does, with no device on the machine.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <lumora/lm_camera_backend.h>

namespace lmtest {

class FakeCamera {
public:
    explicit FakeCamera(std::string video)
        : mVideo(std::move(video)), mReplaced(lm::help::setCameraBackend(backend())) {}
    ~FakeCamera() { lm::help::setCameraBackend(std::move(mReplaced)); }
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    // The camera index of every open, in order.
    std::vector<int> openedIndices() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mOpenedIndices;
    }
    // Every property set, in order, as (cv::CAP_PROP_ identifier, value).
    std::vector<std::pair<int, double>> setProperties() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSetProperties;
    }

private:
    lm::help::CameraBackend backend() {
        const auto open = [this](cv::VideoCapture& capture, int cameraIndex) {
            record([&] { mOpenedIndices.push_back(cameraIndex); });
            return capture.open(mVideo, cv::CAP_ANY);
        };
        const auto set = [this](cv::VideoCapture&, int propertyId, double value) {
            record([&] { mSetProperties.emplace_back(propertyId, value); });
            return true;
        };
        return {open, set};
    }

    template <typename Change>
    void record(Change change) {
        std::lock_guard<std::mutex> lock(mMutex);
        change();
    }

    std::string mVideo;
    mutable std::mutex mMutex;
    std::vector<int> mOpenedIndices;
    std::vector<std::pair<int, double>> mSetProperties;
    // Last: the fake is in place only once everything it records into exists.
    lm::help::CameraBackend mReplaced;
};

}  // namespace lmtest
