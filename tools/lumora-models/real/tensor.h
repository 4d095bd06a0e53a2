#pragma once
// A dense float tensor in row-major order, and the layout changes between TensorFlow's
// kernels and the intermediate representation's.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace lm::models::real {

using Shape = std::vector<int64_t>;

struct Tensor {
    Shape shape;
    std::vector<float> values;

    Tensor() = default;
    Tensor(Shape s, std::vector<float> v);
    Tensor(Shape s, float fill);

    int64_t count() const;
    float& at(std::initializer_list<int64_t> index);
    float at(std::initializer_list<int64_t> index) const;
};

int64_t elementCount(const Shape& shape);
std::string shapeText(const Shape& shape);

// Axis permutation: result dim i = source dim perm[i].
Tensor transpose(const Tensor& t, const std::vector<int>& perm);

// TensorFlow conv kernel [kh, kw, in, out] -> OIHW.
Tensor convKernelToOihw(const Tensor& hwio);
// TensorFlow depthwise kernel [kh, kw, C, 1] -> GroupConvolution [C, 1, 1, kh, kw].
Tensor depthwiseKernelToGoihw(const Tensor& hwc1);
// Reshapes a tensor (same element count); throws when the counts differ.
Tensor reshaped(const Tensor& t, Shape shape);

}  // namespace lm::models::real
