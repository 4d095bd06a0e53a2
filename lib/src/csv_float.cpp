#include "csv_float.h"

#include <cstddef>

namespace lm::help {

namespace {

bool isAlign(char c) { return c == '<' || c == '>' || c == '^'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes of the UTF-8 character that starts with lead.
std::size_t characterLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    return 4;
}

// Where the sign, or the '#', may stand: after an alignment and the fill before it.
std::size_t afterFillAndAlign(std::string_view spec) {
    if (spec.empty()) return 0;
    const std::size_t fill = characterLength(static_cast<unsigned char>(spec[0]));
    if (spec.size() > fill && isAlign(spec[fill])) return fill + 1;
    return isAlign(spec[0]) ? 1 : 0;
}

// The end of the precision that starts after the dot at `at`, or npos when there is none;
// `zero` tells a literal precision of 0.
std::size_t precisionEnd(std::string_view spec, std::size_t at, bool& zero) {
    if (at < spec.size() && spec[at] == '{') {
        zero = false;
        const std::size_t close = spec.find('}', at);
        return close == std::string_view::npos ? close : close + 1;
    }
    const std::size_t start = at;
    zero = true;
    for (; at < spec.size() && isDigit(spec[at]); ++at) zero = zero && spec[at] == '0';
    return at == start ? std::string_view::npos : at;
}

// The end of the replacement field's specification: its closing brace, past nested ones.
const char* specificationEnd(const char* at, const char* end) {
    int depth = 0;
    for (; at != end; ++at) {
        if (*at == '{') ++depth;
        if (*at == '}' && depth-- == 0) break;
    }
    return at;
}

}  // namespace

std::string withTrailingZerosKept(std::string_view spec) {
    std::size_t flag = afterFillAndAlign(spec);
    if (flag < spec.size() && (spec[flag] == '+' || spec[flag] == '-' || spec[flag] == ' ')) ++flag;
    if (flag < spec.size() && spec[flag] == '#') return std::string(spec);

    const std::size_t dot = spec.find('.', flag);
    if (dot == std::string_view::npos) return std::string(spec);
    bool zero = false;
    std::size_t end = precisionEnd(spec, dot + 1, zero);
    if (end == std::string_view::npos || zero) return std::string(spec);
    if (end < spec.size() && spec[end] == 'L') ++end;
    // A presentation type says itself whether zeros are kept.
    if (end != spec.size()) return std::string(spec);

    std::string kept(spec);
    kept.insert(flag, 1, '#');
    return kept;
}

}  // namespace lm::help

fmt::format_parse_context::iterator fmt::formatter<lm::help::CsvFloat>::parse(format_parse_context& context) {
    const char* end = lm::help::specificationEnd(context.begin(), context.end());
    mSpec = lm::help::withTrailingZerosKept(
        std::string_view(context.begin(), static_cast<std::size_t>(end - context.begin())));
    format_parse_context own(mSpec);
    // fmt checks what follows the parsed part against the closing brace; here that is ours.
    if (formatter<float>::parse(own) != own.end()) throw format_error("unknown format specifier");
    return end;
}
