#include <gtest/gtest.h>

#include "lm_network.h"

namespace {

TEST(ModelFiles, NamesFollowDirectoryBaseAndType) {
    const struct {
        const char* dir;
        const char* base;
        lm::Settings::NetworkType type;
        const char* xml;
        const char* bin;
    } cases[] = {
        {"./networks", "detect_regular", lm::Settings::QUANTIZED,
         "./networks/detect_regular_quantized.xml.enc", "./networks/detect_regular_quantized.bin.enc"},
        {"./networks", "agegender", lm::Settings::NORMAL, "./networks/agegender.xml.enc",
         "./networks/agegender.bin.enc"},
        {"./networks/", "emotion", lm::Settings::NORMAL, "./networks//emotion.xml.enc",
         "./networks//emotion.bin.enc"},
        {"/m", "smile", static_cast<lm::Settings::NetworkType>(7), "/m/smile.xml.enc", "/m/smile.bin.enc"},
    };
    for (const auto& c : cases) {
        const lm::ModelFiles files = lm::modelFiles(c.dir, c.base, c.type);
        EXPECT_EQ(files.description, c.xml);
        EXPECT_EQ(files.weights, c.bin);
    }
}

}  // namespace
