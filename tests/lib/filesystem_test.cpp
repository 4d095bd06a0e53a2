#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "support/temp_dir.h"
#include "util/filesystem.h"

namespace {

std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

TEST(FileSystem, WriteReadAndSizeKeepEveryByte) {
    lmtest::TempDir dir;
    const std::string path = dir.file("data.bin");
    const std::string data("x\0y\r\n\xff", 6);
    lm::fs::writeFile(path, data);
    EXPECT_EQ(lm::fs::readFile(path), data);
    EXPECT_EQ(lm::fs::getFileSize(path), 6);
}

TEST(FileSystem, EmptyFileReadsAsEmpty) {
    lmtest::TempDir dir;
    std::ofstream(dir.file("empty")).close();
    EXPECT_EQ(lm::fs::readFile(dir.file("empty")), "");
}

TEST(FileSystem, ErrorMessagesCarryThePath) {
    lmtest::TempDir dir;
    const std::string missing = dir.file("missing.xml.enc");
    const std::string inMissingDir = dir.file("no/such/file");
    const std::string directory = dir.path().string();
    EXPECT_EQ(errorOf([&] { lm::fs::readFile(missing); }), "Error opening file : " + missing);
    EXPECT_EQ(errorOf([&] { lm::fs::getFileSize(missing); }), "Cannot get file size : " + missing);
    EXPECT_EQ(errorOf([&] { lm::fs::writeFile(inMissingDir, "x"); }), "Error opening file : " + inMissingDir);
    EXPECT_EQ(errorOf([&] { lm::fs::readFile(directory); }), "Error reading file : " + directory);
}

TEST(FileSystem, WriteFailureIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(errorOf([] { lm::fs::writeFile("/dev/full", std::string(1 << 16, 'x')); }),
              "Error writing file : /dev/full");
}

TEST(FileSystem, RemoveAndRename) {
    lmtest::TempDir dir;
    lm::fs::writeFile(dir.file("a"), "1");
    EXPECT_TRUE(lm::fs::renameFile(dir.file("a"), dir.file("b")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
    EXPECT_TRUE(lm::fs::removeFile(dir.file("b")));
    EXPECT_FALSE(lm::fs::removeFile(dir.file("b")));
    EXPECT_FALSE(lm::fs::renameFile(dir.file("b"), dir.file("c")));
}

TEST(FileSystem, RenameOrRemoveIntoAMissingDirectoryRemovesTheSource) {
    lmtest::TempDir dir;
    lm::fs::writeFile(dir.file("a"), "1");
    EXPECT_FALSE(lm::fs::renameOrRemoveFile(dir.file("a"), dir.file("missing/a")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));

    lm::fs::writeFile(dir.file("b"), "2");
    EXPECT_TRUE(lm::fs::renameOrRemoveFile(dir.file("b"), dir.file("c")));
    EXPECT_EQ(lm::fs::readFile(dir.file("c")), "2");
}

}  // namespace
