#include "lm_headpose.h"

#include <cmath>

namespace lm {

namespace {

const char* const BASE_NAME = "headpose";
constexpr int INPUT_SIDE = 112;
const char* const YAW_OUTPUT_SCOPE = "model/yaw/Softmax";
const char* const PITCH_OUTPUT_SCOPE = "model/pitch/Softmax";
const char* const ROLL_OUTPUT_SCOPE = "model/roll/Softmax";

// Camera coordinates in centimetres: x to the right of the image, y upwards, z the depth
// in front of the camera, whose plane is z = 0.
const cv::Point3f CAM_BASIS_POS(0.0f, 0.0f, 0.0f);
const cv::Point3f CAM_PLANE_DIR(0.0f, 0.0f, 1.0f);

constexpr float DEGREES_PER_RADIAN = 57.2957763671875f;
constexpr float RADIANS_PER_DEGREE = 0.017453292f;
constexpr float FACE_WIDTH_CM = 15.000001f;  // the real width a face box stands for
constexpr float NEAR_DISTANCE = 100.0f;      // closer: the widest viewing window
constexpr float MIDDLE_DISTANCE = 160.0f;    // closer: the widest dwelling window
constexpr float FAR_DISTANCE = 237.0f;       // further: fixed narrow windows
constexpr float VIEWING_HALF_WIDTH = 60.0f;  // centimetres either side of the camera
constexpr float DWELLING_HALF_WIDTH = 160.0f;
constexpr float NEAR_VIEWING_WINDOW = 45.0f;
constexpr float NEAR_DWELLING_WINDOW = 90.0f;
constexpr float FAR_VIEWING_WINDOW = 15.0f;
constexpr float FAR_DWELLING_WINDOW = 45.0f;
constexpr float PARALLEL_GUARD = 0.00001f;
constexpr float PARALLEL_RAY = 100000.0f;

// The window for a half width at a distance: the quotient goes to the tangent itself, in
// double precision, so that the windows meet their constant neighbours.
float windowFor(float halfWidth, float distance) {
    const float quotient = halfWidth / distance;
    return static_cast<float>(std::tan(static_cast<double>(quotient)) * static_cast<double>(DEGREES_PER_RADIAN));
}

cv::Point3f normalised(const cv::Point3f& v) { return v * (1.0f / std::sqrt(v.dot(v))); }

}  // namespace

namespace headpose {

float expectedAngle(const cv::Mat& output) {
    const std::int32_t bins = output.dims >= 2 ? output.size[1] : 0;
    float sum = 0.0f;
    if (bins > 0) {
        const float* p = outputValues(output, static_cast<std::size_t>(bins));
        for (std::int32_t i = 0; i < bins; ++i) sum += static_cast<float>(i) * p[i];
    }
    return sum - static_cast<float>(bins) * 0.5f;
}

Windows windowsAt(std::int32_t distance) {
    const auto d = static_cast<float>(distance);
    if (d > FAR_DISTANCE) return {FAR_VIEWING_WINDOW, FAR_DWELLING_WINDOW};
    const float viewing = d < NEAR_DISTANCE ? NEAR_VIEWING_WINDOW : windowFor(VIEWING_HALF_WIDTH, d);
    const float dwelling = d < MIDDLE_DISTANCE ? NEAR_DWELLING_WINDOW : windowFor(DWELLING_HALF_WIDTH, d);
    return {viewing, dwelling};
}

WorldPosition worldPosition(const cv::Rect& box, std::int32_t distance, const cv::Size& frame) {
    const float cmPerPixel = FACE_WIDTH_CM / static_cast<float>(box.width);
    const int cx = (2 * box.x + box.width) / 2;
    const int cy = (2 * box.y + box.height) / 2;
    const float x = static_cast<float>(cx - frame.width / 2) * cmPerPixel;
    const float y = static_cast<float>(frame.height / 2 - cy) * cmPerPixel;
    const auto d = static_cast<float>(distance);
    const float q = d * d - (x * x + y * y);
    const std::int32_t z = q < 0.0f ? 0 : truncateToInt32(std::sqrt(q));
    return {truncateToInt32(x), truncateToInt32(y), z};
}

Headgaze headgaze(const WorldPosition& position, std::int16_t yaw, std::int16_t pitch) {
    const cv::Point3f head(static_cast<float>(position.x), static_cast<float>(position.y),
                           static_cast<float>(position.z));
    const cv::Point3f n = normalised(CAM_BASIS_POS - head);
    const float a = static_cast<float>(yaw) * RADIANS_PER_DEGREE;
    const float b = static_cast<float>(pitch) * RADIANS_PER_DEGREE;
    // Turned about the y axis by the yaw, then about the x axis by the pitch.
    const cv::Point3f r =
        normalised({std::cos(a) * n.x + std::sin(a) * n.z, n.y, std::cos(a) * n.z - std::sin(a) * n.x});
    const cv::Point3f g =
        normalised({r.x, std::cos(b) * r.y - std::sin(b) * r.z, std::cos(b) * r.z + std::sin(b) * r.y});
    const float den = CAM_PLANE_DIR.dot(g);
    const float t = std::fabs(den) > PARALLEL_GUARD ? (0.0f - CAM_PLANE_DIR.dot(head)) / den : PARALLEL_RAY;
    // A head at the camera itself has no direction to it: NaN throughout, written as (0, 0).
    return {truncateToInt32(g.x * t + head.x - CAM_BASIS_POS.x), truncateToInt32(g.y * t + head.y - CAM_BASIS_POS.y)};
}

}  // namespace headpose

HeadposeEstimator::HeadposeEstimator()
    : FaceEstimator(BASE_NAME, INPUT_SIDE, {YAW_OUTPUT_SCOPE, PITCH_OUTPUT_SCOPE, ROLL_OUTPUT_SCOPE}) {}

bool HeadposeEstimator::takeSwitches(const Settings& settings) { return settings.useHeadpose; }

void HeadposeEstimator::decode(Person& person, const std::vector<cv::Mat>& outputs, const cv::Size& frame) const {
    person.headpose.yaw = truncateToInt16(headpose::expectedAngle(outputs[0]));
    person.headpose.pitch = truncateToInt16(headpose::expectedAngle(outputs[1]));
    person.headpose.roll = truncateToInt16(headpose::expectedAngle(outputs[2]));
    const headpose::Windows windows = headpose::windowsAt(person.distanceFromCamera);
    const auto yaw = static_cast<float>(person.headpose.yaw);
    person.isViewing = yaw >= -windows.viewing && yaw <= windows.viewing;
    person.isDwelling = yaw >= -windows.dwelling && yaw <= windows.dwelling;
    person.worldPosition = headpose::worldPosition(person.boundingBox, person.distanceFromCamera, frame);
    person.headgaze = headpose::headgaze(person.worldPosition, person.headpose.yaw, person.headpose.pitch);
}

}  // namespace lm
