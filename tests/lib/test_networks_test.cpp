// The project's test networks: every generated model pair decrypts and loads through the
// reader, and each network computes what its description (tools/lumora-models/README.md)
// promises, so that the stage tests can rely on it.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numeric>
#include <set>
#include <thread>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>

#include "support/generated_networks.h"
#include "support/opencl.h"
#include "util/crypt.h"
#include "util/filesystem.h"

namespace {

using lm::models::NetworkOptions;

const cv::Scalar FACE_MEAN(131.0912, 103.8827, 91.4953);  // red, green, blue, as the stages give it
const cv::Scalar DETECT_MEAN(123, 117, 104);
const cv::Scalar BODY_MEAN(123.675, 116.28, 103.56);
constexpr double BODY_SCALE = 0.01735207357279195;

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

cv::dnn::Net loadFromDirectory(const std::string& base, bool quantized) {
    const std::string stem = lmtest::testNetworksDir() + "/" + base + (quantized ? "_quantized" : "");
    const std::string xml =
        lm::crypt::decryptString(lm::fs::readFile(stem + ".xml.enc"), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    const std::string bin =
        lm::crypt::decryptString(lm::fs::readFile(stem + ".bin.enc"), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    return lm::dnn::readNetFromIR(xml.data(), xml.size(), bin.data(), bin.size());
}

// One pass of an estimator as the stages run it: the crop resized, red and blue swapped,
// the mean subtracted.
std::vector<cv::Mat> estimate(cv::dnn::Net& net, const cv::Mat& crop, int side, const std::vector<std::string>& names) {
    net.setInput(cv::dnn::blobFromImage(crop, 1.0, cv::Size(side, side), FACE_MEAN, true, false, CV_32F));
    std::vector<cv::Mat> outputs;
    net.forward(outputs, names);
    return outputs;
}

cv::Mat uniform(int width, int height, const cv::Scalar& bgr) { return cv::Mat(height, width, CV_8UC3, bgr); }

float expectedBin(const cv::Mat& row) {
    float sum = 0;
    for (int i = 0; i < static_cast<int>(row.total()); ++i) sum += static_cast<float>(i) * row.ptr<float>()[i];
    return sum;
}

struct NetworkOutputs {
    const char* base;
    int width, height;
    std::vector<std::pair<std::string, int>> outputs;  // name, value count
};

const std::vector<NetworkOutputs> OUTPUT_TABLE = {
    {"agegender", 112, 112, {{"model/age/Softmax", 101}, {"model/gender/Sigmoid", 1}}},
    {"headpose", 112, 112, {{"model/yaw/Softmax", 180}, {"model/pitch/Softmax", 180}, {"model/roll/Softmax", 180}}},
    {"smile", 64, 64, {{"model/smile/Sigmoid", 1}}},
    {"facemask", 112, 112, {{"model/mask/Softmax", 3}}},
    {"emotion", 112, 112, {{"model/emotion/Softmax", 7}}},
    {"bodyencoder", 128, 256, {{"", 512}}},
};

TEST(TestNetworks, TheDirectoryHoldsExactlyTheEighteenPairs) {
    std::set<std::string> expected, found;
    for (const std::string& base : lm::models::testNetworkBases())
        for (const char* variant : {"", "_quantized"})
            for (const char* kind : {".xml.enc", ".bin.enc"}) expected.insert(base + variant + kind);
    for (const auto& entry : std::filesystem::directory_iterator(lmtest::testNetworksDir()))
        found.insert(entry.path().filename().string());
    EXPECT_EQ(found, expected);
}

TEST(TestNetworks, EveryPairDecryptsLoadsAndNamesItsOutputs) {
    for (const std::string& base : lm::models::testNetworkBases())
        for (bool quantized : {false, true}) {
            SCOPED_TRACE(base + (quantized ? "_quantized" : ""));
            cv::dnn::Net net = loadFromDirectory(base, quantized);
            ASSERT_FALSE(net.empty());
            const bool detector = base == "detect_regular" || base == "detect_long" || base == "bodydetect";
            if (detector) {
                EXPECT_EQ(net.getUnconnectedOutLayersNames(), std::vector<std::string>{"model/detection_out"});
                continue;
            }
            auto network = std::find_if(OUTPUT_TABLE.begin(), OUTPUT_TABLE.end(),
                                        [&](const NetworkOutputs& s) { return base == s.base; });
            ASSERT_NE(network, OUTPUT_TABLE.end());
            cv::Mat grey = uniform(network->width, network->height, cv::Scalar(128, 128, 128));
            net.setInput(cv::dnn::blobFromImage(grey, 1.0, grey.size(), FACE_MEAN, true, false, CV_32F));
            for (const auto& [name, count] : network->outputs) {
                cv::Mat out = name.empty() ? net.forward() : net.forward(name);
                EXPECT_EQ(static_cast<int>(out.total()), count) << name;
            }
        }
}

TEST(TestNetworks, AgeFollowsRedAndGenderFollowsGreen) {
    for (bool quantized : {false, true}) {
        cv::dnn::Net net = lmtest::readTestNetwork("agegender", {quantized});
        for (const auto& [red, green] : std::vector<std::pair<int, int>>{{61, 160}, {101, 128}, {160, 90}}) {
            SCOPED_TRACE("red " + std::to_string(red) + " green " + std::to_string(green));
            auto out = estimate(net, uniform(80, 80, cv::Scalar(50, green, red)), 112,
                                {"model/age/Softmax", "model/gender/Sigmoid"});
            ASSERT_EQ(out.size(), 2u);
            EXPECT_EQ(out[0].size[1], 101);
            EXPECT_NEAR(cv::sum(out[0])[0], 1.0, 1e-5);
            EXPECT_NEAR(expectedBin(out[0]), red / 2.0, 0.02);
            EXPECT_NEAR(out[1].at<float>(0), sigmoid((green - 128) / 16.0), 1e-4);
        }
    }
}

TEST(TestNetworks, HeadAnglesFollowRedGreenAndBlue) {
    for (bool quantized : {false, true}) {
        cv::dnn::Net net = lmtest::readTestNetwork("headpose", {quantized});
        const int red = 149, green = 107, blue = 60;  // yaw 10.5, pitch -10.5, roll -34
        auto out = estimate(net, uniform(50, 50, cv::Scalar(blue, green, red)), 112,
                            {"model/yaw/Softmax", "model/pitch/Softmax", "model/roll/Softmax"});
        ASSERT_EQ(out.size(), 3u);
        const double expected[] = {10.5, -10.5, -34.0};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(out[i].size[1], 180);
            EXPECT_NEAR(expectedBin(out[i]) - 90.0, expected[i], 0.02) << i;
        }
    }
}

TEST(TestNetworks, SmileFollowsBlueAndEmotionsFollowTheChannels) {
    for (bool quantized : {false, true}) {
        cv::dnn::Net smile = lmtest::readTestNetwork("smile", {quantized});
        auto s = estimate(smile, uniform(40, 40, cv::Scalar(176, 20, 20)), 64, {"model/smile/Sigmoid"});
        EXPECT_NEAR(s[0].at<float>(0), sigmoid(3.0), 1e-4);

        cv::dnn::Net emotion = lmtest::readTestNetwork("emotion", {quantized});
        const int red = 200, green = 96, blue = 128;
        auto e = estimate(emotion, uniform(40, 40, cv::Scalar(blue, green, red)), 112, {"model/emotion/Softmax"});
        const double logits[7] = {0, (red - 128) / 16.0, 0, 0, (green - 128) / 16.0, 0, (blue - 128) / 16.0};
        double total = 0;
        for (double l : logits) total += std::exp(l);
        ASSERT_EQ(e[0].total(), 7u);
        for (int k = 0; k < 7; ++k) EXPECT_NEAR(e[0].ptr<float>()[k], std::exp(logits[k]) / total, 1e-4) << k;
    }
}

TEST(TestNetworks, MaskFollowsALowerHalfBrighterThanTheUpper) {
    cv::Mat crop = uniform(100, 100, cv::Scalar(60, 60, 60));
    crop(cv::Rect(0, 50, 100, 50)).setTo(cv::Scalar(200, 200, 200));
    // Reference: standardise the blob over all its values, then d = the sum over channels
    // of the lower half's mean minus the upper half's.
    cv::Mat blob = cv::dnn::blobFromImage(crop, 1.0, cv::Size(112, 112), FACE_MEAN, true, false, CV_32F);
    cv::Scalar mean, deviation;
    cv::meanStdDev(blob.reshape(1, 1), mean, deviation);
    const double divisor = std::max(deviation[0], 1.0 / std::sqrt(static_cast<double>(blob.total())));
    double d = 0;
    for (int c = 0; c < 3; ++c) {
        cv::Mat plane(112, 112, CV_32F, blob.ptr<float>(0, c));
        d += (cv::mean(plane(cv::Rect(0, 56, 112, 56)))[0] - cv::mean(plane(cv::Rect(0, 0, 112, 56)))[0]) / divisor;
    }
    const double mask = std::exp(d) / (std::exp(-d) + 1 + std::exp(d));
    for (bool quantized : {false, true}) {
        cv::dnn::Net net = lmtest::readTestNetwork("facemask", {quantized});
        auto out = estimate(net, crop, 112, {"model/mask/Softmax"});
        EXPECT_NEAR(out[0].ptr<float>()[2], mask, 1e-4);
        EXPECT_GT(out[0].ptr<float>()[2], 0.9);
        auto flat = estimate(net, uniform(30, 30, cv::Scalar(90, 90, 90)), 112, {"model/mask/Softmax"});
        EXPECT_NEAR(flat[0].ptr<float>()[2], 1.0 / 3.0, 1e-4);
    }
}

TEST(TestNetworks, BodyEncoderMixesTheColoursOfAnEightByEightGrid) {
    const float mix[8][3] = {
        {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.5f, -0.5f, 0}, {0, 0.5f, -0.5f}, {-0.5f, 0, 0.5f}, {0.25f, 0.25f, 0.25f},
        {0, 0, 0}};
    const cv::Scalar left(30, 100, 220), right(200, 150, 10);  // blue, green, red
    cv::Mat body = uniform(64, 128, left);
    body(cv::Rect(32, 0, 32, 128)).setTo(right);
    for (bool quantized : {false, true}) {
        cv::dnn::Net net = lmtest::readTestNetwork("bodyencoder", {quantized});
        net.setInput(cv::dnn::blobFromImage(body, BODY_SCALE, cv::Size(128, 256), BODY_MEAN, true, false, CV_32F));
        cv::Mat v = net.forward();
        ASSERT_EQ(v.total(), 512u);
        for (int k = 0; k < 8; ++k)
            for (int cell : {0, 2, 5, 58, 63}) {  // away from the blended middle columns
                const cv::Scalar& bgr = (cell % 8) < 4 ? left : right;
                const double rgb[3] = {(bgr[2] - BODY_MEAN[0]) * BODY_SCALE, (bgr[1] - BODY_MEAN[1]) * BODY_SCALE,
                                       (bgr[0] - BODY_MEAN[2]) * BODY_SCALE};
                const double expected = mix[k][0] * rgb[0] + mix[k][1] * rgb[1] + mix[k][2] * rgb[2];
                EXPECT_NEAR(v.ptr<float>()[k * 64 + cell], expected, 1e-3) << k << " " << cell;
            }
    }
    cv::dnn::Net wrong = lmtest::readTestNetwork("bodyencoder", {false, 256});
    wrong.setInput(cv::dnn::blobFromImage(body, BODY_SCALE, cv::Size(128, 256), BODY_MEAN, true, false, CV_32F));
    EXPECT_EQ(wrong.forward().total(), 256u);
}

// Runs a detector as the detector stages do.
void detect(cv::dnn::Net net, const cv::Mat& frame, const cv::Size& inputSize, std::vector<float>& confidences,
            std::vector<cv::Rect>& boxes) {
    cv::dnn::DetectionModel model(net);
    model.setInputScale(1.0);
    model.setInputSwapRB(true);
    model.setInputSize(inputSize);
    model.setInputMean(DETECT_MEAN);
    std::vector<int> classIds;
    model.detect(frame, classIds, confidences, boxes, 0.1f, 0.0f);
}

struct DetectorCase {
    const char* base;
    cv::Size input;
};

TEST(TestNetworks, DetectorsFindDrawnSquaresAtTheirSlotsWithTheirBrightness) {
    for (const DetectorCase& c : {DetectorCase{"detect_regular", {640, 480}}, DetectorCase{"detect_long", {1024, 768}},
                                  DetectorCase{"bodydetect", {640, 480}}})
        for (bool quantized : {false, true})
            for (const cv::Size frameSize : {c.input, cv::Size(1280, 960)}) {
                SCOPED_TRACE(std::string(c.base) + (quantized ? "_quantized " : " ") + std::to_string(frameSize.width));
                const auto slots = lm::models::detectorSlots(c.base);
                cv::Mat frame = uniform(frameSize.width, frameSize.height, cv::Scalar(0, 0, 0));
                std::map<std::pair<int, int>, std::pair<cv::Rect, double>> drawn;  // by top-left corner
                for (size_t s = 0; s < slots.size(); s += 2) {
                    const int grey = 100 + static_cast<int>(s) * 4;
                    const cv::Rect box = lmtest::slotInFrame(slots[s], frameSize);
                    frame(box).setTo(cv::Scalar(grey, grey, grey));
                    drawn[{box.x, box.y}] = {box, grey / 255.0};
                }
                std::vector<float> confidences;
                std::vector<cv::Rect> boxes;
                detect(quantized ? lmtest::readTestNetwork(c.base, {true}) : loadFromDirectory(c.base, false), frame,
                       c.input, confidences, boxes);
                ASSERT_EQ(boxes.size(), drawn.size());
                for (size_t i = 0; i < boxes.size(); ++i) {
                    auto it = drawn.find({boxes[i].x, boxes[i].y});
                    ASSERT_NE(it, drawn.end()) << boxes[i];
                    // OpenCV counts the right and bottom edge pixels into the box, then
                    // clips it to the frame.
                    const cv::Rect& slot = it->second.first;
                    EXPECT_EQ(boxes[i].width, std::min(slot.width + 1, frameSize.width - slot.x));
                    EXPECT_EQ(boxes[i].height, std::min(slot.height + 1, frameSize.height - slot.y));
                    EXPECT_NEAR(confidences[i], it->second.second, 2e-3);
                }
                cv::Mat black = uniform(frameSize.width, frameSize.height, cv::Scalar(0, 0, 0));
                detect(lmtest::readTestNetwork(c.base, {quantized}), black, c.input, confidences, boxes);
                EXPECT_TRUE(boxes.empty());
            }
}

TEST(TestNetworks, LongRangeDetectorHasOtherSlotsThanTheRegularOne) {
    const auto regular = lm::models::detectorSlots("detect_regular");
    const auto longRange = lm::models::detectorSlots("detect_long");
    for (const auto& r : regular)
        for (const auto& l : longRange) EXPECT_FALSE(r.x0 == l.x0 && r.y0 == l.y0 && r.x1 == l.x1 && r.y1 == l.y1);
    // A square on a regular slot is found at that slot only by the regular detector.
    cv::Mat frame = uniform(640, 480, cv::Scalar(0, 0, 0));
    const cv::Rect square = lmtest::slotInFrame(regular[1], frame.size());
    frame(square).setTo(cv::Scalar(230, 230, 230));
    std::vector<float> confidences;
    std::vector<cv::Rect> boxes;
    detect(lmtest::readTestNetwork("detect_regular"), frame, {640, 480}, confidences, boxes);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].tl(), square.tl());
    detect(lmtest::readTestNetwork("detect_long"), frame, {1024, 768}, confidences, boxes);
    for (const cv::Rect& b : boxes) EXPECT_NE(b.tl(), square.tl());
}

TEST(TestNetworks, QuantizedVariantsStayCloseToThePlainOnes) {
    cv::Mat noise(300, 300, CV_8UC3);
    cv::randu(noise, 0, 256);
    for (const NetworkOutputs& network : OUTPUT_TABLE) {
        SCOPED_TRACE(network.base);
        cv::dnn::Net plain = lmtest::readTestNetwork(network.base, {false});
        cv::dnn::Net quantized = lmtest::readTestNetwork(network.base, {true});
        for (const auto& [name, count] : network.outputs) {
            cv::Mat input =
                cv::dnn::blobFromImage(noise, 1.0, cv::Size(network.width, network.height), FACE_MEAN, true);
            plain.setInput(input);
            quantized.setInput(input);
            cv::Mat a = name.empty() ? plain.forward() : plain.forward(name);
            cv::Mat b = name.empty() ? quantized.forward() : quantized.forward(name);
            EXPECT_LT(cv::norm(a, b, cv::NORM_INF), 1e-3) << name;
        }
    }
}

}  // namespace

namespace {

// The stages may run on the OpenCL target; here that is PoCL's CPU device, selected by
// scripts/test.
TEST(TestNetworksOpenCL, GiveTheSameOutputsAsOnTheCpu) {
    if (const auto& unavailable = lmtest::openClTargetUnavailable()) GTEST_SKIP() << *unavailable;
    cv::Mat picture(480, 640, CV_8UC3);
    cv::randu(picture, 0, 256);
    picture(cv::Rect(80, 0, 120, 120)).setTo(cv::Scalar(200, 200, 200));
    for (const std::string& base : lm::models::testNetworkBases())
        for (bool quantized : {false, true}) {
            SCOPED_TRACE(base + (quantized ? "_quantized" : ""));
            cv::dnn::Net net = lmtest::readTestNetwork(base, {quantized});
            const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
            const cv::dnn::MatShape shape = [&] {
                std::vector<cv::dnn::MatShape> in, out;
                net.getLayerShapes(cv::dnn::MatShape(), 0, in, out);
                return out.at(0);
            }();
            const cv::Mat blob =
                cv::dnn::blobFromImage(picture, 1.0, cv::Size(shape[3], shape[2]), FACE_MEAN, true, false, CV_32F);
            std::vector<cv::Mat> cpu, gpu;
            net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
            net.setInput(blob);
            net.forward(cpu, names);
            net.setPreferableTarget(cv::dnn::DNN_TARGET_OPENCL);
            net.setInput(blob);
            net.forward(gpu, names);
            ASSERT_EQ(cpu.size(), gpu.size());
            for (size_t i = 0; i < cpu.size(); ++i) {
                ASSERT_EQ(cpu[i].total(), gpu[i].total()) << names[i];
                EXPECT_LE(cv::norm(cpu[i], gpu[i], cv::NORM_INF), 1e-4) << names[i];
            }
        }
}

}  // namespace

namespace {

// Stages load and run their networks on different threads; the reader keeps no state
// between calls.
TEST(TestNetworksThreads, LoadAndRunOnSeveralThreadsAtOnce) {
    const std::vector<std::string>& bases = lm::models::testNetworkBases();
    std::vector<lm::models::ModelPair> pairs;
    for (const std::string& base : bases) pairs.push_back(lm::models::buildTestNetwork(base));
    std::vector<std::thread> threads;
    std::vector<std::string> failures(bases.size());
    for (size_t i = 0; i < bases.size(); ++i)
        threads.emplace_back([&, i] {
            try {
                for (int round = 0; round < 3; ++round) {
                    cv::dnn::Net net = lm::dnn::readNetFromIR(pairs[i].xml.data(), pairs[i].xml.size(),
                                                              pairs[i].weights.data(), pairs[i].weights.size());
                    if (net.getUnconnectedOutLayersNames().empty()) failures[i] = "no outputs";
                }
            } catch (const std::exception& e) {
                failures[i] = e.what();
            }
        });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < bases.size(); ++i) EXPECT_EQ(failures[i], "") << bases[i];
}

}  // namespace
