#pragma once
// The dnn layer type "ImageStandardization": scales its one input blob to zero mean and
// at most unit standard deviation over all of its elements.

#include <opencv2/dnn.hpp>

namespace lm {

class ImageStandardizationLayer : public cv::dnn::Layer {
public:
    explicit ImageStandardizationLayer(const cv::dnn::LayerParams& params);
    ~ImageStandardizationLayer() override = default;

    static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params);

    void forward(std::vector<cv::Mat*>& inputs, std::vector<cv::Mat>& outputs,
                 std::vector<cv::Mat>& internals) override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;
    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
};

// Registers the type with OpenCV's layer factory; the library does this once at load.
void registerCustomLayers();

}  // namespace lm
