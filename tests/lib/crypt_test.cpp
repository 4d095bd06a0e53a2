#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/crypt.h"

namespace {

using namespace lm::crypt;

std::string fromHex(const std::string& hex) { return hexDecodeString(hex); }

TEST(Crypt, DecryptsWhatTheOpensslCommandLineEncrypted) {
    // printf 'Lumora model file fixture\n' | openssl enc -aes-256-cbc -K <DEFAULT_KEY> -iv <DEFAULT_IV>
    const std::string cipher = fromHex("ade6179d0dd7ff470c7b0f45a59ce77cd59eb87aea1ce45fd10734fd988c7449");
    EXPECT_EQ(decryptString(cipher, DEFAULT_KEY, DEFAULT_IV), "Lumora model file fixture\n");
}

TEST(Crypt, DefaultKeyAndIvBytes) {
    EXPECT_EQ(hexEncodeString(std::string(DEFAULT_KEY.begin(), DEFAULT_KEY.end())),
              "5c1e9a07b3d24f68e0a1c7593b2d8e46f17a0c3954e8b26d1f9c07a3e5b48d20");
    EXPECT_EQ(hexEncodeString(std::string(DEFAULT_IV.begin(), DEFAULT_IV.end())), "a4d9e2170c6b3f85d72e014b9a6c3e58");
}

TEST(Crypt, PaddingAddsOneToSixteenBytes) {
    const struct {
        size_t plain;
        size_t cipher;
    } cases[] = {{0, 16}, {3, 16}, {16, 32}, {32, 48}};
    for (const auto& c : cases) {
        const std::string plain(c.plain, 'x');
        const std::string cipher = encryptString(plain, DEFAULT_KEY, DEFAULT_IV);
        EXPECT_EQ(cipher.size(), c.cipher) << c.plain;
        EXPECT_EQ(decryptString(cipher, DEFAULT_KEY, DEFAULT_IV), plain) << c.plain;
    }
}

TEST(Crypt, BadCiphertextsFailAtFinalisation) {
    Key wrongKey = DEFAULT_KEY;
    wrongKey[0] ^= 0xff;
    const std::string good = encryptString("some weights", DEFAULT_KEY, DEFAULT_IV);
    const struct {
        const char* name;
        std::string cipher;
        Key key;
    } cases[] = {
        {"empty", "", DEFAULT_KEY},
        {"not a multiple of 16", std::string(17, 'a'), DEFAULT_KEY},
        {"truncated", good.substr(0, 15), DEFAULT_KEY},
        {"wrong key", good, wrongKey},
    };
    for (const auto& c : cases) {
        try {
            decryptString(c.cipher, c.key, DEFAULT_IV);
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Decryption finalization failed") << c.name;
        }
    }
}

TEST(Crypt, BytesRoundTripWithNulBytes) {
    const std::string plain("a\0b\0\0c", 6);
    const std::string cipher = encryptString(plain, DEFAULT_KEY, DEFAULT_IV);
    EXPECT_EQ(decryptString(cipher, DEFAULT_KEY, DEFAULT_IV), plain);

    unsigned char raw[] = {0, 1, 2, 0, 255};
    const array enc = encryptBytes({raw, sizeof raw}, DEFAULT_KEY, DEFAULT_IV);
    const array dec = decryptBytes(enc, DEFAULT_KEY, DEFAULT_IV);
    ASSERT_EQ(dec.length, sizeof raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dec.data), dec.length),
              std::string(reinterpret_cast<char*>(raw), sizeof raw));
    delete[] enc.data;
    delete[] dec.data;
}

TEST(Crypt, HexStrings) {
    EXPECT_EQ(hexEncodeString("abc"), "616263");
    EXPECT_EQ(hexDecodeString("616263"), "abc");
    EXPECT_EQ(hexDecodeString("6A"), "\x6a");
    EXPECT_EQ(hexDecodeString("6a"), "\x6a");
    EXPECT_EQ(hexDecodeString("616"), "a");
    EXPECT_EQ(hexEncodeString(std::string("\0\xff", 2)), "00ff");
}

TEST(Crypt, HexStringLimits) {
    EXPECT_EQ(hexEncodeString(std::string(4096, 'z')).size(), 8192u);
    try {
        hexEncodeString(std::string(4097, 'z'));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "crypt::hexEncodeBytes (string too long for encryption buffer)");
    }
    EXPECT_EQ(hexDecodeString(std::string(16385, '1')).size(), 8192u);
    EXPECT_THROW(hexDecodeString(std::string(16386, '1')), std::runtime_error);
}

TEST(Crypt, HexEncodeFillsAnExactBufferWithoutWritingPastIt) {
    char buffer[7];
    std::memset(buffer, '#', sizeof buffer);
    string destination{buffer, 6};
    const string result = hexEncodeBytes({const_cast<char*>("\x01\x02\x03"), 3}, destination);
    EXPECT_EQ(result.length, 6u);
    EXPECT_EQ(std::string(buffer, 6), "010203");
    EXPECT_EQ(buffer[6], '#');
}

TEST(Crypt, HexLengthCheckLeavesTheDestinationUntouched) {
    char buffer[4] = {'k', 'e', 'e', 'p'};
    string destination{buffer, 4};
    EXPECT_THROW(hexEncodeBytes({const_cast<char*>("abc"), 3}, destination), std::runtime_error);
    EXPECT_EQ(std::string(buffer, 4), "keep");
    EXPECT_THROW(hexDecodeBytes({const_cast<char*>("0102030405"), 10}, destination), std::runtime_error);
    EXPECT_EQ(std::string(buffer, 4), "keep");
}

TEST(Crypt, LargerBufferKeepsZerosAfterTheDigits) {
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    string destination{buffer, 8};
    hexDecodeBytes({const_cast<char*>("ff"), 2}, destination);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0xffu);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(buffer[i], '\0');
}

}  // namespace
