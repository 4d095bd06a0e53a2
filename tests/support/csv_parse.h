#pragma once
// A strict RFC 4180 reader of one CSV line (no line terminator), for tests that check what
// a spreadsheet or a CSV library would make of the program's lines.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lmtest {

inline std::vector<std::string> parseCsvLine(std::string_view line) {
    std::vector<std::string> fields(1);
    std::size_t i = 0;
    bool fieldStart = true;
    while (i < line.size()) {
        const char c = line[i];
        if (fieldStart && c == '"') {
            // Quoted field: runs to the quote that is not doubled, which must end the field.
            ++i;
            for (;;) {
                if (i >= line.size()) throw std::invalid_argument("unterminated quoted CSV field");
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        fields.back() += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                fields.back() += line[i++];
            }
            if (i < line.size() && line[i] != ',') throw std::invalid_argument("text after a quoted CSV field");
            fieldStart = false;
            continue;
        }
        if (c == ',') {
            fields.emplace_back();
            fieldStart = true;
        } else if (c == '"' || c == '\r' || c == '\n') {
            throw std::invalid_argument("quote or line break in an unquoted CSV field");
        } else {
            fields.back() += c;
            fieldStart = false;
        }
        ++i;
    }
    return fields;
}

inline std::size_t csvColumnCount(std::string_view header) { return parseCsvLine(header).size(); }

}  // namespace lmtest
