// Process-wide settings for the library tests, made before any test runs.
#include <cstdlib>

namespace {

// OpenCV's gPhoto2 capture back end, tried by CAP_ANY whenever a file does not open,
// scans USB for cameras (seconds per try) and leaks what it finds; no test needs it.
// An explicit setting in the environment wins.
const bool GPHOTO2_OFF = ::setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0) == 0;

}  // namespace
