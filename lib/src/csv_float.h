#pragma once
// A record's float as the CSV fill functions hand it to fmt. Their templates follow the
// rules of the fmt version they were written for, under which a precision without a
// presentation type keeps its trailing zeros: "{:.3}" writes 0.5 as 0.500 and 1 as 1.00,
// where later versions write 0.5 and 1. Every other specification means what fmt says.

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace lm::help {

struct CsvFloat {
    float value;
};

// The format field with the alternate form '#' added when it has a precision above 0 and
// no presentation type; any other format field as it is.
std::string withTrailingZerosKept(std::string_view spec);

}  // namespace lm::help

template <>
struct fmt::formatter<lm::help::CsvFloat> : fmt::formatter<float> {
    format_parse_context::iterator parse(format_parse_context& context);

    template <typename Context>
    auto format(lm::help::CsvFloat number, Context& context) const {
        return formatter<float>::format(number.value, context);
    }

private:
    // The rewritten specification; what the parse keeps of it (a named precision) points
    // into it, so it lives as long as the formatter.
    std::string mSpec;
};
