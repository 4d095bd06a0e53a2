#include "real/tensor.h"

#include <stdexcept>

namespace lm::models::real {

int64_t elementCount(const Shape& shape) {
    int64_t n = 1;
    for (int64_t d : shape) n *= d;
    return n;
}

std::string shapeText(const Shape& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? "," : "") + std::to_string(shape[i]);
    return text + "]";
}

Tensor::Tensor(Shape s, std::vector<float> v) : shape(std::move(s)), values(std::move(v)) {
    if (elementCount(shape) != static_cast<int64_t>(values.size()))
        throw std::runtime_error("tensor " + shapeText(shape) + " given " + std::to_string(values.size()) + " values");
}

Tensor::Tensor(Shape s, float fill) : shape(std::move(s)), values(elementCount(shape), fill) {}

int64_t Tensor::count() const { return static_cast<int64_t>(values.size()); }

static int64_t flatIndex(const Shape& shape, std::initializer_list<int64_t> index) {
    if (index.size() != shape.size()) throw std::runtime_error("tensor index of wrong rank");
    int64_t flat = 0;
    size_t axis = 0;
    for (int64_t i : index) flat = flat * shape[axis++] + i;
    return flat;
}

float& Tensor::at(std::initializer_list<int64_t> index) { return values[flatIndex(shape, index)]; }
float Tensor::at(std::initializer_list<int64_t> index) const { return values[flatIndex(shape, index)]; }

Tensor transpose(const Tensor& t, const std::vector<int>& perm) {
    const size_t rank = t.shape.size();
    if (perm.size() != rank) throw std::runtime_error("transpose of wrong rank");
    Shape outShape(rank);
    for (size_t i = 0; i < rank; ++i) outShape[i] = t.shape[perm[i]];
    std::vector<int64_t> srcStride(rank, 1);
    for (int i = static_cast<int>(rank) - 2; i >= 0; --i) srcStride[i] = srcStride[i + 1] * t.shape[i + 1];
    Tensor out(outShape, 0.0f);
    std::vector<int64_t> index(rank, 0);
    for (int64_t flat = 0; flat < out.count(); ++flat) {
        int64_t src = 0;
        for (size_t i = 0; i < rank; ++i) src += index[i] * srcStride[perm[i]];
        out.values[flat] = t.values[src];
        for (int i = static_cast<int>(rank) - 1; i >= 0; --i) {
            if (++index[i] < outShape[i]) break;
            index[i] = 0;
        }
    }
    return out;
}

Tensor convKernelToOihw(const Tensor& hwio) {
    if (hwio.shape.size() != 4) throw std::runtime_error("conv kernel is not 4-D");
    return transpose(hwio, {3, 2, 0, 1});
}

Tensor depthwiseKernelToGoihw(const Tensor& hwc1) {
    if (hwc1.shape.size() != 4 || hwc1.shape[3] != 1) throw std::runtime_error("depthwise kernel is not [kh,kw,C,1]");
    Tensor chw = transpose(hwc1, {2, 3, 0, 1});  // [C,1,kh,kw]
    return reshaped(chw, {hwc1.shape[2], 1, 1, hwc1.shape[0], hwc1.shape[1]});
}

Tensor reshaped(const Tensor& t, Shape shape) {
    if (elementCount(shape) != t.count())
        throw std::runtime_error("cannot reshape " + shapeText(t.shape) + " to " + shapeText(shape));
    return Tensor(std::move(shape), t.values);
}

}  // namespace lm::models::real
