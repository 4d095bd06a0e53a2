#pragma once
// The H.264 RTP stream to 127.0.0.1:5000: a thread of its own sends a picture ten times a
// second through a GStreamer writer, for as long as the status handler says it streams.
// Whoever owns the stream says where each picture comes from.

#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "hx_status.h"

namespace hx {

// The RTP stream's GStreamer writer could not be opened.
class RtpWriterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RtpStream {
public:
    // Writes the next picture to send into its argument, or leaves it as it was to send the
    // last one again; false when there are no more pictures (the source has ended or failed).
    using PictureSource = std::function<bool(cv::Mat& picture)>;

    // Nothing streams until start; `nextPicture` is called on the stream's thread only.
    RtpStream(StatusHandler& status, PictureSource nextPicture);
    // Ends a stream still going (without the stop's log line) and joins its thread.
    ~RtpStream();
    RtpStream(const RtpStream&) = delete;
    RtpStream& operator=(const RtpStream&) = delete;

    // Joins the thread of a stream that has ended by itself; a new start does that too.
    void joinEnded();
    // Opens the writer for pictures of `frameSize` (others are scaled to it) and starts the
    // thread, marking the status as streaming. Throws RtpWriterError when the writer cannot
    // be opened; nothing streams then.
    void start(cv::Size frameSize);
    // Ends the stream and joins its thread; nothing when no stream runs.
    void stop();

private:
    void run();
    void write(const cv::Mat& picture);

    StatusHandler& mStatus;
    const PictureSource mNextPicture;
    std::mutex mMutex;  // starting and stopping
    std::thread mThread;
    cv::VideoWriter mWriter;
    cv::Size mFrameSize;  // the size the writer was opened for
};

}  // namespace hx
