#include "util/ini.h"

#include <fstream>
#include <stdexcept>

namespace lm::ini {

namespace {

// The line grammar is that of three whole-line regular expressions:
//   blank or comment  \s*((;|#).*)?
//   section header    \s*\[(\w+)\]\s*
//   key line          \s*(\w+)\s*=\s*(.*)\s*
// matched here by hand, because std::regex recurses once per character and a long line
// would overflow the stack. \s is any ASCII white space (carriage return included),
// \w a letter, digit or underscore, and "." any character but line feed and carriage
// return.

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isWord(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

bool isAny(char c) { return c != '\n' && c != '\r'; }

std::size_t skipSpace(const std::string& s, std::size_t i) {
    while (i < s.size() && isSpace(s[i])) ++i;
    return i;
}

std::size_t skipWord(const std::string& s, std::size_t i) {
    while (i < s.size() && isWord(s[i])) ++i;
    return i;
}

std::size_t skipAny(const std::string& s, std::size_t i) {
    while (i < s.size() && isAny(s[i])) ++i;
    return i;
}

bool isBlankOrComment(const std::string& line) {
    std::size_t i = skipSpace(line, 0);
    if (i == line.size()) return true;
    if (line[i] != ';' && line[i] != '#') return false;
    return skipAny(line, i + 1) == line.size();
}

bool matchSection(const std::string& line, std::string& name) {
    std::size_t i = skipSpace(line, 0);
    if (i == line.size() || line[i] != '[') return false;
    const std::size_t wordEnd = skipWord(line, i + 1);
    if (wordEnd == i + 1 || wordEnd == line.size() || line[wordEnd] != ']') return false;
    if (skipSpace(line, wordEnd + 1) != line.size()) return false;
    name = line.substr(i + 1, wordEnd - i - 1);
    return true;
}

bool matchKey(const std::string& line, std::string& key, std::string& value) {
    const std::size_t keyStart = skipSpace(line, 0);
    const std::size_t keyEnd = skipWord(line, keyStart);
    if (keyEnd == keyStart) return false;
    std::size_t i = skipSpace(line, keyEnd);
    if (i == line.size() || line[i] != '=') return false;
    // The greedy white space after "=" is skipped, the value runs up to a carriage return
    // (or the end), and whatever follows it must be white space.
    const std::size_t valueStart = skipSpace(line, i + 1);
    const std::size_t valueEnd = skipAny(line, valueStart);
    if (skipSpace(line, valueEnd) != line.size()) return false;
    key = line.substr(keyStart, keyEnd - keyStart);
    value = line.substr(valueStart, valueEnd - valueStart);
    return true;
}

}  // namespace

Line parseLine(const std::string& line) {
    Line parsed;
    if (isBlankOrComment(line)) {
        parsed.kind = Line::BLANK_OR_COMMENT;
    } else if (matchSection(line, parsed.name)) {
        parsed.kind = Line::SECTION;
    } else if (matchKey(line, parsed.name, parsed.value)) {
        parsed.kind = Line::KEY;
    }
    return parsed;
}

Sections readFromFile(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) throw std::runtime_error("Error opening ini file: " + path);
    Sections sections;
    std::string current;
    std::string line;
    while (std::getline(in, line)) {
        Line parsed = parseLine(line);
        switch (parsed.kind) {
            case Line::BLANK_OR_COMMENT: break;
            case Line::SECTION: current = std::move(parsed.name); break;
            case Line::KEY: sections[current][parsed.name] = std::move(parsed.value); break;
            case Line::INVALID: throw std::runtime_error("Error parsing ini file. Offending line: " + line);
        }
    }
    return sections;
}

void writeToFile(const Sections& sections, const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open()) throw std::runtime_error("Error opening ini file: " + path);
    for (const auto& [name, keys] : sections) {
        if (!name.empty()) out << '[' << name << "]\n";
        for (const auto& [key, value] : keys) out << key << " = " << value << '\n';
        out << '\n';
    }
    out.close();
    // A full disk shows only here; never report a truncated file as written.
    if (out.fail()) throw std::runtime_error("Error writing ini file: " + path);
}

bool getValue(const Sections& sections, const std::string& section, const std::string& key, std::string& value) {
    const auto s = sections.find(section);
    if (s == sections.end()) return false;
    const auto k = s->second.find(key);
    if (k == s->second.end()) return false;
    value = k->second;
    return true;
}

}  // namespace lm::ini
