#include "lm_network.h"

namespace lm {

ModelFiles modelFiles(const std::string& directory, const std::string& baseName,
                      Settings::NetworkType networkType) {
    const std::string stem =
        directory + "/" + baseName + (networkType == Settings::QUANTIZED ? "_quantized" : "");
    return {stem + ".xml.enc", stem + ".bin.enc"};
}

}  // namespace lm
