#pragma once
// Reads a network in OpenVINO intermediate representation (IR v10/v11: an XML
// description and a weights buffer) and builds the equivalent cv::dnn::Net.
//
// OpenCV here has no Inference Engine back end, so readNetFromModelOptimizer cannot be
// used; this reader maps every IR op onto OpenCV's own layers instead. Layers keep their
// IR names (outputs are found by names such as "model/age/Softmax"), the network input
// keeps its name and shape, and a DetectionOutput layer is added last so that
// cv::dnn::DetectionModel accepts the result. Types the reader does not know are created
// through cv::dnn::LayerFactory (for example "ImageStandardization").
//
// Every failure (malformed XML, weights out of range, unsupported ops, dims that
// contradict what OpenCV computes) throws cv::Exception.

#include <cstddef>

#include <opencv2/dnn.hpp>

namespace lm::dnn {

cv::dnn::Net readNetFromIR(const char* xml, size_t xmlLength, const char* weights, size_t weightsLength);

}  // namespace lm::dnn
