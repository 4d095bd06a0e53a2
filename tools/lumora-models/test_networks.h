#pragma once
// The project's test networks: small, deterministic IR networks for the nine model bases,
// whose outputs a test can predict from a drawn image (README.md says what each computes).

#include <string>
#include <vector>

namespace lm::models {

struct ModelPair {
    std::string xml;
    std::string weights;
};

struct NetworkOptions {
    bool quantized = false;   // compressed weights (u8 with zero point and scale, or f16)
    int encoderValues = 512;  // bodyencoder only: 512, or 256 for the wrong-length variant
};

// A detector slot: a prior box in coordinates normalised to the frame (0..1).
struct Slot {
    float x0, y0, x1, y1;
};

// "detect_regular", "detect_long", "agegender", "headpose", "smile", "facemask",
// "emotion", "bodydetect", "bodyencoder".
const std::vector<std::string>& testNetworkBases();

// The slots of "detect_regular", "detect_long" and "bodydetect", in output order.
std::vector<Slot> detectorSlots(const std::string& base);

// Throws std::invalid_argument for an unknown base or option.
ModelPair buildTestNetwork(const std::string& base, const NetworkOptions& options = {});

// Writes one pair into directory, named as the library looks for it
// (base + "_quantized" when quantized + ".xml.enc" / ".bin.enc"), encrypted with the
// model files' default key; with encrypt false as plain ".xml" / ".bin".
void writeTestNetwork(const std::string& directory, const std::string& base, const NetworkOptions& options = {},
                      bool encrypt = true);

// All eighteen pairs (nine bases, plain and quantized); creates the directory.
void writeAllTestNetworks(const std::string& directory, bool encrypt = true);

}  // namespace lm::models
