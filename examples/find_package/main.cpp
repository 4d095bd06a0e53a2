// Analyses one frame with the installed library and prints the faces found.
//   lumora_example MODEL_DIR [IMAGE]
// Without an image it analyses a 640 x 480 frame with one bright square in it.
#include <cstdio>
#include <exception>

#include <opencv2/imgcodecs.hpp>

#include <lumora/lm_lumora.h>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s MODEL_DIR [IMAGE]\n", argv[0]);
        return 2;
    }
    try {
        lm::Settings settings;
        settings.neuralNetworksPath = argv[1];
        settings.logLevel = lm::Settings::WARN;
        lm::Lumora lumora(settings);

        cv::Mat frame;
        if (argc == 3) {
            frame = cv::imread(argv[2], cv::IMREAD_COLOR);
            if (frame.empty()) {
                std::fprintf(stderr, "cannot read image %s\n", argv[2]);
                return 1;
            }
        } else {
            frame = cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0));
            frame(cv::Rect(340, 240, 120, 120)).setTo(cv::Scalar::all(255));
        }

        const std::vector<lm::Person> people = lumora.analyze(frame);
        std::printf("lumora %s: %zu face(s)\n", lm::getVersion().c_str(), people.size());
        for (const lm::Person& p : people)
            std::printf("face %u at %d,%d %dx%d confidence %.2f age %d\n", p.id, p.boundingBox.x, p.boundingBox.y,
                        p.boundingBox.width, p.boundingBox.height, p.detectionConfidence, p.age);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
