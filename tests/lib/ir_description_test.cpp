// The parsed IR description: constants decoded from the weights for every element type,
// and the attribute parsing that every op handler relies on.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ir_writer.h"
#include "util/ir_description.h"

namespace {

using lm::dnn::ir::IrDescription;
using lm::dnn::ir::IrLayer;
using lm::models::IrWriter;

template <typename T>
std::string bytesOf(std::initializer_list<T> values) {
    std::string bytes(values.size() * sizeof(T), '\0');
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const cv::Exception& e) {
        return e.err;
    }
    return "no error";
}

TEST(IrDescription, ReadConstantDecodesEveryElementType) {
    const struct {
        const char* type;
        std::string bytes;
        std::vector<double> expected;
    } cases[] = {
        {"f32", bytesOf<float>({1.5f, -2.25f}), {1.5, -2.25}},
        {"f16", bytesOf<uint16_t>({0x3C00, 0xC000}), {1.0, -2.0}},
        {"bf16", bytesOf<uint16_t>({0x3FC0, 0xC010}), {1.5, -2.25}},
        {"i64", bytesOf<int64_t>({-3, int64_t(1) << 40}), {-3.0, 1099511627776.0}},
        {"u64", bytesOf<uint64_t>({7, uint64_t(1) << 40}), {7.0, 1099511627776.0}},
        {"i32", bytesOf<int32_t>({-5, 100000}), {-5.0, 100000.0}},
        {"u32", bytesOf<uint32_t>({4000000000u, 1}), {4000000000.0, 1.0}},
        {"u8", bytesOf<uint8_t>({255, 0}), {255.0, 0.0}},
        {"i8", bytesOf<int8_t>({-128, 127}), {-128.0, 127.0}},
        {"boolean", bytesOf<uint8_t>({0, 2}), {0.0, 1.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        IrWriter w("constants");
        w.parameter("data", {1, 2});  // a constant placed after another tensor's bytes
        w.constant("before", {9.f}, {1});
        w.rawConstant("c", c.type, c.bytes, {2});
        const std::string xml = w.xml();
        const IrDescription description(xml.data(), xml.size(), w.weights().data(), w.weights().size());
        const IrLayer& layer = description.layers().back();
        ASSERT_EQ(layer.name, "c");
        const lm::dnn::ir::Constant constant = description.readConstant(layer);
        EXPECT_EQ(constant.shape, (lm::dnn::ir::Dims{2}));
        EXPECT_EQ(constant.values, c.expected);
    }
}

IrLayer layerWith(const std::string& key, const std::string& text) {
    IrLayer layer;
    layer.name = "l";
    layer.type = "Op";
    layer.data[key] = text;
    return layer;
}

TEST(IrDescription, NumbersAndListsAcceptSpacesAndAPlusSignAndNothingElse) {
    const struct {
        const char* text;
        std::optional<std::vector<int64_t>> expected;  // nullopt: refused
    } cases[] = {
        {"", std::vector<int64_t>{}},
        {"  ", std::vector<int64_t>{}},
        {"3", std::vector<int64_t>{3}},
        {" +7 ", std::vector<int64_t>{7}},
        {"1, -2,3", std::vector<int64_t>{1, -2, 3}},
        {"1,,2", std::nullopt},
        {"1,", std::nullopt},
        {"12x", std::nullopt},
        {"0x10", std::nullopt},
        {"1 2", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        const IrLayer layer = layerWith("n", c.text);
        if (c.expected) {
            EXPECT_EQ(lm::dnn::ir::attrList<int64_t>(layer, "n"), *c.expected);
        } else {
            EXPECT_EQ(
                messageOf([&] { lm::dnn::ir::attrList<int64_t>(layer, "n"); }),
                std::string("IR reader: attribute 'n' of Op layer 'l' is not a list of numbers: '") + c.text + "'");
        }
    }
    EXPECT_DOUBLE_EQ(lm::dnn::ir::attrNumber<double>(layerWith("x", " 0.25"), "x"), 0.25);
    EXPECT_EQ(lm::dnn::ir::attrNumber<int>(layerWith("x", "1"), "y", 5), 5);
    EXPECT_EQ(messageOf([] { lm::dnn::ir::attrNumber<int>(layerWith("x", "1"), "y"); }),
              "IR reader: Op layer 'l' lacks the attribute 'y'");
    EXPECT_EQ(messageOf([] { lm::dnn::ir::attrNumber<int>(layerWith("x", "1.5"), "x"); }),
              "IR reader: attribute 'x' of Op layer 'l' is not a number: '1.5'");
}

TEST(IrDescription, BooleansAreTrueFalseOneOrZeroInAnyCase) {
    const struct {
        const char* text;
        std::optional<bool> expected;  // nullopt: refused
    } cases[] = {
        {"true", true},   {"True", true}, {"1", true},           {"false", false},
        {"FALSE", false}, {"0", false},   {"yes", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        const IrLayer layer = layerWith("flag", c.text);
        if (c.expected) {
            EXPECT_EQ(lm::dnn::ir::attrBool(layer, "flag", !*c.expected), *c.expected);
        } else {
            EXPECT_EQ(messageOf([&] { lm::dnn::ir::attrBool(layer, "flag", false); }),
                      std::string("IR reader: attribute 'flag' of Op layer 'l' is not a boolean: '") + c.text + "'");
        }
    }
    EXPECT_TRUE(lm::dnn::ir::attrBool(layerWith("x", "0"), "flag", true));
}

}  // namespace
