#pragma once
// The real model directory: every role converted from the fetched pretrained weights,
// written as the encrypted IR pairs the library's stages load, plain and "_quantized".

#include <functional>
#include <string>
#include <vector>

#include "real/converters.h"

namespace lm::models::real {

struct RealModel {
    std::string base;  // the model base name the stage loads
    std::function<IrGraph(const WeightsDir&)> build;
};

// The nine roles, in the order they are written.
const std::vector<RealModel>& realModels();

// Converts one role and writes its plain and "_quantized" pairs into outDir.
void writeRealModel(const WeightsDir& weights, const RealModel& model, const std::string& outDir,
                    const std::function<void(const std::string&)>& progress = {});

// The role of that base name; throws std::invalid_argument for another name.
const RealModel& realModel(const std::string& base);

// Converts every role and writes base.xml.enc / base.bin.enc and the "_quantized" pair
// (weights stored as float16) into outDir, which must exist. Throws std::runtime_error
// naming the missing or damaged weight file. progress, when set, is told each file written.
void writeRealModels(const WeightsDir& weights, const std::string& outDir,
                     const std::function<void(const std::string&)>& progress = {});

}  // namespace lm::models::real
