#include "real/detector_passes.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace lm::models::real {

Port downsampled(IrGraph& g, const std::string& name, Port x, float factor) {
    if (!(factor > 0.25f)) throw std::invalid_argument("detector pass factor must exceed 1/4");
    const Shape& in = g.shape(x);
    const int whole = static_cast<int>(factor);
    if (static_cast<float>(whole) == factor) {
        if (in[2] % whole != 0 || in[3] % whole != 0)
            throw std::invalid_argument("detector pass factor must divide the input size");
        return whole == 1 ? x : g.avgPool(name, x, whole, whole, Padding::Valid);
    }
    return g.resizeBilinear(name, x, std::lround(in[2] / factor), std::lround(in[3] / factor), true);
}

Port padToMultiple(IrGraph& g, const std::string& name, Port x, int64_t multiple, float fill) {
    for (const int axis : {2, 3}) {
        Shape padding = g.shape(x);
        padding[axis] = (multiple - padding[axis] % multiple) % multiple;
        if (padding[axis] == 0) continue;
        const std::string part = name + (axis == 2 ? "/rows" : "/columns");
        x = g.concat(part, {x, g.constant(part + "/fill", Tensor(padding, fill), false)}, axis);
    }
    return x;
}

std::string passPrefix(const std::vector<float>& factors, float factor) {
    if (factors.size() < 2) return "";
    std::ostringstream name;
    name << "x" << factor << "/";
    return name.str();
}

}  // namespace lm::models::real
