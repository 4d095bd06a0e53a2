// The converters' explicit zero pads and half-pixel resizing, read back through the
// project's IR reader and checked against OpenCV's own image operations.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "real/ir_emit.h"
#include "real/ir_graph.h"
#include "util/ir_reader.h"

namespace {

namespace real = lm::models::real;

cv::dnn::Net readGraph(const real::IrGraph& graph) {
    const real::IrPair ir = real::emitIr(graph, false);
    return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
}

// A single-channel H x W image as an NCHW blob, and back.
cv::Mat blobOf(const cv::Mat& image) {
    const int dims[] = {1, 1, image.rows, image.cols};
    cv::Mat blob(4, dims, CV_32F);
    image.copyTo(cv::Mat(image.rows, image.cols, CV_32F, blob.ptr<float>()));
    return blob;
}
cv::Mat imageOf(const cv::Mat& blob) { return blob.reshape(1, {blob.size[2], blob.size[3]}).clone(); }

cv::Mat ramp(int rows, int cols) {
    cv::Mat image(rows, cols, CV_32F);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) image.at<float>(y, x) = static_cast<float>(1 + x + 10 * y);
    return image;
}

TEST(IrGraphZeroPad, AValidWindowOverZeroPaddedInputMatchesPaddingFirst) {
    // Stride 2 on an even side is where a symmetric pad differs from TensorFlow's SAME
    // (which pads the end only): the sums tell the two apart.
    const struct {
        int rows, cols, kernel, stride;
        int64_t pad;
    } cases[] = {{6, 8, 3, 2, 1}, {5, 7, 3, 1, 1}, {8, 8, 5, 2, 2}};
    for (const auto& c : cases) {
        real::IrGraph g("pad");
        const real::Port x = g.parameter("x", {1, 1, c.rows, c.cols});
        const real::Tensor ones({1, 1, c.kernel, c.kernel}, 1.0f);
        g.result(g.conv("sum", x, ones, nullptr, c.stride, real::Padding::Valid, c.pad));
        cv::dnn::Net net = readGraph(g);
        const cv::Mat image = ramp(c.rows, c.cols);
        net.setInput(blobOf(image));
        const cv::Mat out = imageOf(net.forward());

        cv::Mat padded;
        cv::copyMakeBorder(image, padded, c.pad, c.pad, c.pad, c.pad, cv::BORDER_CONSTANT, 0);
        const int outRows = (padded.rows - c.kernel) / c.stride + 1, outCols = (padded.cols - c.kernel) / c.stride + 1;
        ASSERT_EQ(out.rows, outRows) << c.rows << "x" << c.cols;
        ASSERT_EQ(out.cols, outCols) << c.rows << "x" << c.cols;
        for (int y = 0; y < outRows; ++y)
            for (int xCol = 0; xCol < outCols; ++xCol) {
                const cv::Rect window(xCol * c.stride, y * c.stride, c.kernel, c.kernel);
                EXPECT_FLOAT_EQ(out.at<float>(y, xCol), static_cast<float>(cv::sum(padded(window))[0]))
                    << c.rows << "x" << c.cols << " at " << y << "," << xCol;
            }
    }
}

TEST(IrGraphZeroPad, IsRefusedOnASameWindow) {
    real::IrGraph g("pad");
    const real::Port x = g.parameter("x", {1, 1, 4, 4});
    EXPECT_THROW(g.conv("c", x, real::Tensor({1, 1, 3, 3}, 1.0f), nullptr, 1, real::Padding::Same, 1),
                 std::runtime_error);
}

TEST(IrGraphResize, HalfPixelAndLegacyCoordinatesEachMatchTheirReference) {
    const cv::Mat image = ramp(3, 5);
    for (const bool halfPixel : {true, false}) {
        real::IrGraph g("resize");
        const real::Port x = g.parameter("x", {1, 1, 3, 5});
        g.result(g.resizeBilinear("up", x, 6, 10, halfPixel));
        cv::dnn::Net net = readGraph(g);
        net.setInput(blobOf(image));
        const cv::Mat out = imageOf(net.forward());
        ASSERT_EQ(out.size(), cv::Size(10, 6));
        if (halfPixel) {
            // cv::resize uses half-pixel centres.
            cv::Mat expected;
            cv::resize(image, expected, {10, 6}, 0, 0, cv::INTER_LINEAR);
            EXPECT_LT(cv::norm(out, expected, cv::NORM_INF), 1e-4);
        } else {
            // Legacy coordinates: output pixel i reads input i / 2, so even pixels copy the input.
            for (int y = 0; y < 6; y += 2)
                for (int xCol = 0; xCol < 10; xCol += 2)
                    EXPECT_FLOAT_EQ(out.at<float>(y, xCol), image.at<float>(y / 2, xCol / 2));
        }
    }
}

}  // namespace
