#include "util/ir_reader.h"

#include <exception>
#include <string>

#include "util/ir_description.h"
#include "util/ir_network_builder.h"

namespace lm::dnn {

cv::dnn::Net readNetFromIR(const char* xml, size_t xmlLength, const char* weights, size_t weightsLength) {
    try {
        const ir::IrDescription description(xml, xmlLength, weights, weightsLength);
        return ir::IrNetworkBuilder(description).build();
    } catch (const cv::Exception&) {
        throw;
    } catch (const std::exception& e) {
        // Keep one failure type for the callers: a bad model is always cv::Exception.
        ir::fail(std::string("cannot build the network: ") + e.what());
    }
}

}  // namespace lm::dnn
