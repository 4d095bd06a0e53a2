// lumora-opencl-check: prints the OpenCL platform and device that OpenCV selects, then runs a
// small network on OpenCV's dnn OpenCL target and compares it with the CPU, first from one
// thread, then from several at once (the facade's GPU_MT target runs its face networks in
// parallel).
//
// Exit status 0: the device runs the networks from several threads at once. 3: from one
// thread only. 1: not at all. The last line says why not. Some OpenCL drivers abort the
// process while OpenCV builds its kernels (PoCL's pthread driver on some processors does)
// or deadlock when two threads use them (PoCL's basic driver does): run as a child, an
// abort is the answer too, and a deadlock is cut short by a time limit.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/dnn.hpp>

namespace {

constexpr double LARGEST_DIFFERENCE = 1e-4;
constexpr int THREADS_AT_ONCE = 4;
constexpr int ROUNDS_PER_THREAD = 20;
// Far longer than the rounds take on a loaded machine (under a second), far shorter than a
// test's time limit.
constexpr auto SEVERAL_THREADS_TIME_LIMIT = std::chrono::seconds(20);

enum ExitStatus { WORKS = 0, UNAVAILABLE = 1, ONE_THREAD_ONLY = 3 };

std::string deviceType(const cv::ocl::Device& device) {
    switch (device.type() & cv::ocl::Device::TYPE_ALL) {
        case cv::ocl::Device::TYPE_CPU: return "CPU";
        case cv::ocl::Device::TYPE_GPU: return "GPU";
        case cv::ocl::Device::TYPE_ACCELERATOR: return "accelerator";
        default: return "other";
    }
}

// OpenCV's dnn quietly runs on the CPU for a device that is not a GPU unless told otherwise;
// a comparison would then prove nothing.
bool dnnAcceptsAnyDevice() {
    const char* value = std::getenv("OPENCV_DNN_OPENCL_ALLOW_ALL_DEVICES");
    if (value == nullptr) return false;
    const std::string text(value);
    return text == "1" || text == "true" || text == "TRUE" || text == "ON" || text == "on";
}

cv::Mat filledBlob(const std::vector<int>& shape, float scale) {
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    cv::RNG rng(12345);
    rng.fill(blob, cv::RNG::UNIFORM, -scale, scale);
    return blob;
}

void addConvolution(cv::dnn::Net& net, const std::string& name, int inputs, int outputs, int group) {
    cv::dnn::LayerParams params;
    params.set("kernel_size", 3);
    params.set("pad", 1);
    params.set("stride", 1);
    params.set("num_output", outputs);
    params.set("group", group);
    params.set("bias_term", true);
    params.blobs = {filledBlob({outputs, inputs / group, 3, 3}, 0.5f), filledBlob({1, outputs}, 0.1f)};
    net.addLayerToPrev(name, "Convolution", params);
}

void addLayer(cv::dnn::Net& net, const std::string& name, const std::string& type,
              const std::vector<std::pair<std::string, cv::dnn::DictValue>>& values) {
    cv::dnn::LayerParams params;
    for (const auto& [key, value] : values) params.set(key, value);
    net.addLayerToPrev(name, type, params);
}

// The layer kinds the project's face and body networks are made of: plain and depthwise
// convolutions, activations, pooling, a fully connected layer and a softmax.
cv::dnn::Net smallNetwork() {
    cv::dnn::Net net;
    addConvolution(net, "conv1", 3, 8, 1);
    addLayer(net, "relu1", "ReLU", {});
    addLayer(net, "pool1", "Pooling",
             {{"pool", cv::dnn::DictValue(cv::String("max"))},
              {"kernel_size", cv::dnn::DictValue(2)},
              {"stride", cv::dnn::DictValue(2)}});
    addConvolution(net, "conv2", 8, 8, 8);
    addLayer(net, "relu2", "ReLU", {});
    cv::dnn::LayerParams dense;
    dense.set("num_output", 4);
    dense.set("bias_term", true);
    dense.set("axis", 1);
    dense.blobs = {filledBlob({4, 8 * 8 * 8}, 0.05f), filledBlob({1, 4}, 0.1f)};
    net.addLayerToPrev("dense", "InnerProduct", dense);
    addLayer(net, "softmax", "Softmax", {{"axis", cv::dnn::DictValue(1)}});
    return net;
}

cv::Mat forward(cv::dnn::Net& net, const cv::Mat& input, int target) {
    net.setPreferableTarget(target);
    net.setInput(input);
    return net.forward().clone();
}

// The platform that holds the selected device (OpenCV names no platform of a device).
std::string platformOf(const cv::ocl::Device& device) {
    std::vector<cv::ocl::PlatformInfo> platforms;
    cv::ocl::getPlatfomsInfo(platforms);
    for (const cv::ocl::PlatformInfo& platform : platforms)
        for (int i = 0; i < platform.deviceNumber(); ++i) {
            cv::ocl::Device candidate;
            platform.getDevice(candidate, i);
            if (candidate.name() == device.name()) return platform.name() + ", " + platform.version();
        }
    return "unknown";
}

int unavailable(const std::string& reason) {
    std::cout << "OpenCL cannot run the networks here: " << reason << std::endl;
    return UNAVAILABLE;
}

int oneThreadOnly(const std::string& reason) {
    std::cout << "OpenCL cannot run the networks from several threads at once here: " << reason << std::endl;
    return ONE_THREAD_ONLY;
}

// Each thread runs a network of its own, as each stage of the facade does. A deadlocked
// driver holds locks that even releasing a buffer waits for: the process ends at once.
int checkSeveralThreads(const cv::Mat& input, const cv::Mat& expected) {
    std::atomic<int> finished{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS_AT_ONCE; ++t)
        threads.emplace_back([&] {
            try {
                cv::dnn::Net net = smallNetwork();
                for (int round = 0; round < ROUNDS_PER_THREAD; ++round)
                    if (!(cv::norm(forward(net, input, cv::dnn::DNN_TARGET_OPENCL), expected, cv::NORM_INF) <=
                          LARGEST_DIFFERENCE))
                        ++failed;
            } catch (const cv::Exception&) {
                ++failed;
            }
            ++finished;
        });
    const auto deadline = std::chrono::steady_clock::now() + SEVERAL_THREADS_TIME_LIMIT;
    while (finished < THREADS_AT_ONCE && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (finished < THREADS_AT_ONCE) {
        const int status = oneThreadOnly("the driver deadlocks when " + std::to_string(THREADS_AT_ONCE) +
                                         " threads run networks at once");
        std::_Exit(status);
    }
    for (std::thread& thread : threads) thread.join();
    if (failed > 0) return oneThreadOnly("networks run from several threads at once differ from the CPU or fail");
    std::cout << "OpenCL dnn from " << THREADS_AT_ONCE << " threads at once: agrees with the CPU" << std::endl;
    return WORKS;
}

int check() {
    if (!cv::ocl::haveOpenCL()) return unavailable("no OpenCL runtime");
    if (!cv::ocl::useOpenCL())
        return unavailable(
            "no OpenCL device selected (OpenCV takes only GPUs unless OPENCV_OPENCL_DEVICE names "
            "one, such as :CPU:)");
    const cv::ocl::Device& device = cv::ocl::Device::getDefault();
    std::cout << "OpenCL platform: " << platformOf(device) << "\nOpenCL device: " << device.name() << " ("
              << deviceType(device) << ", " << device.maxComputeUnits() << " compute units)" << std::endl;
    if (device.type() != cv::ocl::Device::TYPE_GPU && !dnnAcceptsAnyDevice())
        return unavailable("OpenCV's dnn runs on the CPU instead of this " + deviceType(device) +
                           " device unless OPENCV_DNN_OPENCL_ALLOW_ALL_DEVICES=1");
    const cv::Mat input = filledBlob({1, 3, 16, 16}, 1.0f);
    try {
        cv::dnn::Net net = smallNetwork();
        const cv::Mat cpu = forward(net, input, cv::dnn::DNN_TARGET_CPU);
        const double difference = cv::norm(cpu, forward(net, input, cv::dnn::DNN_TARGET_OPENCL), cv::NORM_INF);
        if (!(difference <= LARGEST_DIFFERENCE))
            return unavailable("the OpenCL target differs from the CPU by " + std::to_string(difference));
        std::cout << "OpenCL dnn: agrees with the CPU (largest difference " << difference << ")" << std::endl;
        return checkSeveralThreads(input, cpu);
    } catch (const cv::Exception& e) {
        return unavailable(std::string("OpenCV's dnn failed: ") + e.what());
    }
}

}  // namespace

// The OpenCL runtime keeps its allocations until the process ends, and a deadlocked driver
// keeps its threads: leave without the exit handlers, so that neither a sanitizer build's
// leak check nor a stuck thread turns the answer into another.
int main() {
    const int status = check();
    std::cout.flush();
    std::_Exit(status);
}
