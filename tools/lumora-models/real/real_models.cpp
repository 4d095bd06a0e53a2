#include "real/real_models.h"

#include <stdexcept>

#include "real/ir_emit.h"
#include "util/crypt.h"
#include "util/filesystem.h"

namespace lm::models::real {

const std::vector<RealModel>& realModels() {
    static const std::vector<RealModel> models = {
        {"detect_regular", [](const WeightsDir& w) { return convertBlazeFace(w, 640, 480, shippedBlazeFace()); }},
        {"detect_long", [](const WeightsDir& w) { return convertBlazeFace(w, 1024, 768, shippedLongBlazeFace()); }},
        {"agegender", convertAgeGender},
        {"headpose", convertHeadpose},
        {"smile", convertSmile},
        {"facemask", convertFacemask},
        {"faceverify", convertFaceVerifier},
        {"emotion", convertEmotion},
        {"bodydetect", [](const WeightsDir& w) { return convertBodyDetector(w); }},
        {"bodyencoder", [](const WeightsDir& w) { return convertBodyEncoder(w); }},
    };
    return models;
}

const RealModel& realModel(const std::string& base) {
    for (const RealModel& model : realModels())
        if (model.base == base) return model;
    throw std::invalid_argument("no real model is called " + base);
}

void writeRealModel(const WeightsDir& weights, const RealModel& model, const std::string& outDir,
                    const std::function<void(const std::string&)>& progress) {
    const IrGraph graph = model.build(weights);
    for (const bool quantized : {false, true}) {
        const IrPair ir = emitIr(graph, quantized);
        const std::string stem = outDir + "/" + model.base + (quantized ? "_quantized" : "");
        lm::fs::writeFile(stem + ".xml.enc",
                          lm::crypt::encryptString(ir.xml, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
        lm::fs::writeFile(stem + ".bin.enc",
                          lm::crypt::encryptString(ir.weights, lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
        if (progress) progress(stem);
    }
}

void writeRealModels(const WeightsDir& weights, const std::string& outDir,
                     const std::function<void(const std::string&)>& progress) {
    for (const RealModel& model : realModels()) writeRealModel(weights, model, outDir, progress);
}

}  // namespace lm::models::real
