#include <gtest/gtest.h>

#include <Poco/JSON/Parser.h>

#include "hx_format.h"

namespace {

TEST(JsonEscape, OrdinaryTextIsUnchanged) {
    EXPECT_EQ(hx::format::escapeJson("Analysis started, 3 faces / Zürich"), "Analysis started, 3 faces / Zürich");
}

TEST(JsonEscape, HostileTextsStillParse) {
    const struct {
        std::string text;
        std::string escaped;
    } cases[] = {
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\path", "C:\\\\path"},
        {"line\nbreak\r\t", "line\\nbreak\\r\\t"},
        {std::string("nul\0bell\x07", 9), "nul\\u0000bell\\u0007"},
    };
    for (const auto& c : cases) {
        const std::string escaped = hx::format::escapeJson(c.text);
        EXPECT_EQ(escaped, c.escaped);
        Poco::JSON::Parser parser;
        const auto parsed = parser.parse("{\"d\":\"" + escaped + "\"}").extract<Poco::JSON::Object::Ptr>();
        EXPECT_EQ(parsed->getValue<std::string>("d"), c.text);
    }
}

}  // namespace
