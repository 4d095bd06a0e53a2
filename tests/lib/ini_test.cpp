#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/ini.h"

namespace {

using lm::ini::Line;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(Ini, ClassifiesLinesLikeTheLineGrammar) {
    struct Case {
        std::string line;
        Line::Kind kind;
        std::string name;
        std::string value;
    };
    const Case cases[] = {
        {"", Line::BLANK_OR_COMMENT, "", ""},
        {" \t ", Line::BLANK_OR_COMMENT, "", ""},
        {"\r", Line::BLANK_OR_COMMENT, "", ""},
        {"; a comment = with [stuff]", Line::BLANK_OR_COMMENT, "", ""},
        {"  # another", Line::BLANK_OR_COMMENT, "", ""},
        {";\r", Line::INVALID, "", ""},  // "." stops at the carriage return
        {"# text\r", Line::INVALID, "", ""},
        {"[System]", Line::SECTION, "System", ""},
        {"  [Face_2]  \r", Line::SECTION, "Face_2", ""},
        {"[Two words]", Line::INVALID, "", ""},
        {"[System] ; comment", Line::INVALID, "", ""},
        {"[]", Line::INVALID, "", ""},
        {"[Sys", Line::INVALID, "", ""},
        {"key = value", Line::KEY, "key", "value"},
        {"key=value", Line::KEY, "key", "value"},
        {"   indented_1 =  v", Line::KEY, "indented_1", "v"},
        {"key = a=b;c # d", Line::KEY, "key", "a=b;c # d"},
        {"key = trailing  ", Line::KEY, "key", "trailing  "},
        {"key = value\r", Line::KEY, "key", "value"},
        {"key = value\r  ", Line::KEY, "key", "value"},
        {"key =", Line::KEY, "key", ""},
        {"key =   ", Line::KEY, "key", ""},
        {"key = \r", Line::KEY, "key", ""},
        {"key = a\rb", Line::INVALID, "", ""},
        {"two words = x", Line::INVALID, "", ""},
        {"= x", Line::INVALID, "", ""},
        {"key", Line::INVALID, "", ""},
        {"k\xc3\xa9y = x", Line::INVALID, "", ""},  // \w is ASCII only
    };
    for (const auto& c : cases) {
        const Line parsed = lm::ini::parseLine(c.line);
        EXPECT_EQ(parsed.kind, c.kind) << '"' << c.line << '"';
        if (parsed.kind == c.kind && c.kind != Line::INVALID) {
            EXPECT_EQ(parsed.name, c.name) << c.line;
            EXPECT_EQ(parsed.value, c.value) << c.line;
        }
    }
}

TEST(Ini, ReadsSectionsKeysAndTheNamelessSection) {
    lmtest::TempDir dir;
    const std::string path = dir.file("a.ini");
    writeAll(path,
             "early = 1\n"
             "; comment\n"
             "[B]\n"
             "x = 1\n"
             "\n"
             "[A]\r\n"
             "y = 2\r\n"
             "[B]\n"
             "x = 3\n"
             "z = last line without line feed");
    const auto sections = lm::ini::readFromFile(path);
    const lm::ini::Sections expected{
        {"", {{"early", "1"}}},
        {"A", {{"y", "2"}}},
        {"B", {{"x", "3"}, {"z", "last line without line feed"}}},
    };
    EXPECT_EQ(sections, expected);

    std::string value = "unchanged";
    EXPECT_TRUE(lm::ini::getValue(sections, "B", "x", value));
    EXPECT_EQ(value, "3");
    value = "unchanged";
    EXPECT_FALSE(lm::ini::getValue(sections, "B", "missing", value));
    EXPECT_FALSE(lm::ini::getValue(sections, "Missing", "x", value));
    EXPECT_EQ(value, "unchanged");

    writeAll(path, "");
    EXPECT_TRUE(lm::ini::readFromFile(path).empty());
}

TEST(Ini, ReportsFilesThatCannotBeOpenedOrParsed) {
    lmtest::TempDir dir;
    const std::string missing = dir.file("missing.ini");
    try {
        lm::ini::readFromFile(missing);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening ini file: " + missing);
    }
    const std::string bad = dir.file("bad.ini");
    writeAll(bad, "[A]\nok = 1\n[A] ; note\n");
    try {
        lm::ini::readFromFile(bad);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error parsing ini file. Offending line: [A] ; note");
    }
    try {
        lm::ini::writeToFile({}, dir.file("no/such/dir.ini"));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening ini file: " + dir.file("no/such/dir.ini"));
    }
}

TEST(Ini, LongLinesAreReadWithoutRecursion) {
    lmtest::TempDir dir;
    const std::string path = dir.file("long.ini");
    const std::string longValue(30000, 'v');
    writeAll(path, "[A]\nkey = " + longValue + "\n" + std::string(30000, ' ') + "\n");
    EXPECT_EQ(lm::ini::readFromFile(path).at("A").at("key"), longValue);

    const std::string garbage(30000, '!');
    writeAll(path, garbage + "\n");
    EXPECT_THROW(lm::ini::readFromFile(path), std::runtime_error);
}

TEST(Ini, WritesSectionsInOrderWithAnEmptyLineAfterEach) {
    lmtest::TempDir dir;
    const std::string path = dir.file("out.ini");
    writeAll(path, "old content that must go away, longer than the new one ......................\n");
    lm::ini::writeToFile({{"B", {{"b", "2"}, {"a", ""}}}, {"", {{"free", "x"}}}, {"A", {}}}, path);
    EXPECT_EQ(readAll(path), "free = x\n\n[A]\n\n[B]\na = \nb = 2\n\n");
}

TEST(Ini, AWriteThatDoesNotReachTheDiskIsAnError) {
    // /dev/full accepts the open and fails every write.
    EXPECT_THROW(lm::ini::writeToFile({{"A", {{"k", std::string(100000, 'x')}}}}, "/dev/full"), std::runtime_error);
}

}  // namespace

namespace {

// The hand-written matcher against the regular expressions it replaces, on many short
// lines made of the characters that matter.
TEST(Ini, MatcherAgreesWithTheRegularExpressionsOnShortLines) {
    const std::regex comment(R"(\s*((;|#).*)?)");
    const std::regex section(R"(\s*\[(\w+)\]\s*)");
    const std::regex key(R"(\s*(\w+)\s*=\s*(.*)\s*)");
    const std::string alphabet = " \t\ra_1[]=;#.\xe9";
    std::mt19937 random(12345);
    for (int n = 0; n < 20000; ++n) {
        std::string line;
        const int length = static_cast<int>(random() % 9);
        for (int i = 0; i < length; ++i) line += alphabet[random() % alphabet.size()];
        std::smatch match;
        Line expected;
        if (std::regex_match(line, comment)) {
            expected.kind = Line::BLANK_OR_COMMENT;
        } else if (std::regex_match(line, match, section)) {
            expected = {Line::SECTION, match[1], ""};
        } else if (std::regex_match(line, match, key)) {
            expected = {Line::KEY, match[1], match[2]};
        }
        const Line parsed = lm::ini::parseLine(line);
        ASSERT_EQ(parsed.kind, expected.kind) << '"' << line << '"';
        ASSERT_EQ(parsed.name, expected.name) << '"' << line << '"';
        ASSERT_EQ(parsed.value, expected.value) << '"' << line << '"';
    }
}

}  // namespace
