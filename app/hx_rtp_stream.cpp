#include "hx_rtp_stream.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "hx_log.h"

namespace hx {

namespace {

// The GStreamer pipeline of the RTP stream: H.264 for low latency, to port 5000 of loopback.
std::string rtpPipeline() {
    return "appsrc ! videoconvert ! x264enc tune=zerolatency bitrate=500 speed-preset=superfast ! rtph264pay ! "
           "udpsink host=127.0.0.1 port=5000";
}

constexpr double PICTURES_PER_SECOND = 10.0;
constexpr std::chrono::milliseconds PICTURE_INTERVAL(100);

}  // namespace

RtpStream::RtpStream(StatusHandler& status, PictureSource nextPicture)
    : mStatus(status), mNextPicture(std::move(nextPicture)) {}

RtpStream::~RtpStream() {
    mStatus.setRtpStreaming(false);
    if (mThread.joinable()) mThread.join();
}

void RtpStream::joinEnded() {
    std::lock_guard lock(mMutex);
    if (mThread.joinable()) mThread.join();
}

void RtpStream::start(cv::Size frameSize) {
    std::lock_guard lock(mMutex);
    if (mThread.joinable()) mThread.join();
    mFrameSize = frameSize;
    mWriter.open(rtpPipeline(), cv::CAP_GSTREAMER, 0, PICTURES_PER_SECOND, mFrameSize, true);
    if (!mWriter.isOpened()) {
        harbixLog()->error("Cannot start RTP stream. Cannot open video writer.");
        throw RtpWriterError("Cannot start RTP stream. Cannot open video writer.");
    }
    mStatus.setRtpStreaming(true);
    mThread = std::thread(&RtpStream::run, this);
}

void RtpStream::stop() {
    std::lock_guard lock(mMutex);
    if (!mStatus.isRtpStreaming()) return;
    harbixLog()->info("Stop RTP");
    mStatus.setRtpStreaming(false);
    if (mThread.joinable()) mThread.join();
    mWriter.release();
}

void RtpStream::run() {
    try {
        cv::Mat picture;
        while (mStatus.isRtpStreaming()) {
            if (!mNextPicture(picture)) {
                harbixLog()->error("Video source error occured during RTP stream.");
                mStatus.setRtpStreaming(false);
                return;
            }
            write(picture);
            std::this_thread::sleep_for(PICTURE_INTERVAL);
        }
    } catch (const std::exception& error) {
        harbixLog()->error("Exception occured on RTP stream: {}", error.what());
        mStatus.setRtpStreaming(false);
        mStatus.setRuntimeError(error.what(), true);
    } catch (...) {
        harbixLog()->error("Exception occured on RTP stream: {}", "unknown exception");
        mStatus.setRtpStreaming(false);
        mStatus.setRuntimeError("unknown exception", true);
    }
}

void RtpStream::write(const cv::Mat& picture) {
    if (picture.empty()) return;
    // The writer was opened for the configured size; a source of another size or a turned
    // picture is scaled to it.
    if (picture.size() == mFrameSize) {
        mWriter.write(picture);
        return;
    }
    cv::Mat scaled;
    cv::resize(picture, scaled, mFrameSize);
    mWriter.write(scaled);
}

}  // namespace hx
