#include "util/crypt.h"

#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace lm::crypt {

const Key DEFAULT_KEY = {0x5c, 0x1e, 0x9a, 0x07, 0xb3, 0xd2, 0x4f, 0x68, 0xe0, 0xa1, 0xc7,
                         0x59, 0x3b, 0x2d, 0x8e, 0x46, 0xf1, 0x7a, 0x0c, 0x39, 0x54, 0xe8,
                         0xb2, 0x6d, 0x1f, 0x9c, 0x07, 0xa3, 0xe5, 0xb4, 0x8d, 0x20};
const Iv DEFAULT_IV = {0xa4, 0xd9, 0xe2, 0x17, 0x0c, 0x6b, 0x3f, 0x85, 0xd7, 0x2e, 0x01, 0x4b, 0x9a, 0x6c, 0x3e, 0x58};

namespace {

constexpr size_t HEX_BUFFER_SIZE = 8192;

struct Messages {
    const char* context;
    const char* init;
    const char* update;
    const char* final;
    const char* tooLong;
};

constexpr Messages ENCRYPT_MESSAGES = {"Encryption context creation failed", "Encryption initialization failed",
                                       "Encryption failed", "Encryption finalization failed",
                                       "Encryption failed (input of 2 GiB or more)"};
constexpr Messages DECRYPT_MESSAGES = {"Decryption context creation failed", "Decryption initialization failed",
                                       "Decryption failed", "Decryption finalization failed",
                                       "Decryption failed (input of 2 GiB or more)"};

using ContextPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Leaves no stale error in OpenSSL's per-thread queue, where it would confuse a later
// TLS call on the same thread.
[[noreturn]] void fail(const char* message) {
    ERR_clear_error();
    throw std::runtime_error(message);
}

// One cipher pass in a single update call; the output block is allocated once at its
// final bound and owned by the caller on success.
array runCipher(const array& input, const Key& key, const Iv& iv, bool encrypt) {
    const Messages& msg = encrypt ? ENCRYPT_MESSAGES : DECRYPT_MESSAGES;
    // The EVP length argument is an int: larger inputs cannot go in one call.
    if (input.length > static_cast<size_t>(INT_MAX)) throw std::runtime_error(msg.tooLong);

    ContextPtr ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx) fail(msg.context);

    const int initialised = encrypt ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data())
                                    : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
    if (initialised != 1) fail(msg.init);

    const size_t capacity = encrypt ? input.length + 32 : input.length;
    std::unique_ptr<unsigned char[]> block(new unsigned char[capacity == 0 ? 1 : capacity]);
    const int inputLength = static_cast<int>(input.length);
    int updateLength = 0;
    const int updated = encrypt ? EVP_EncryptUpdate(ctx.get(), block.get(), &updateLength, input.data, inputLength)
                                : EVP_DecryptUpdate(ctx.get(), block.get(), &updateLength, input.data, inputLength);
    if (updated != 1) fail(msg.update);

    int finalLength = 0;
    const int finalised = encrypt ? EVP_EncryptFinal_ex(ctx.get(), block.get() + updateLength, &finalLength)
                                  : EVP_DecryptFinal_ex(ctx.get(), block.get() + updateLength, &finalLength);
    if (finalised != 1) fail(msg.final);

    return {block.release(), static_cast<size_t>(updateLength) + static_cast<size_t>(finalLength)};
}

std::string runCipherOnString(const std::string& input, const Key& key, const Iv& iv, bool encrypt) {
    const array in{reinterpret_cast<unsigned char*>(const_cast<char*>(input.data())), input.size()};
    const array out = runCipher(in, key, iv, encrypt);
    std::unique_ptr<unsigned char[]> owner(out.data);
    return std::string(reinterpret_cast<const char*>(out.data), out.length);
}

unsigned hexDigitValue(unsigned char c) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10u;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10u;
    return static_cast<unsigned>(c) - static_cast<unsigned>('0');  // not validated
}

}  // namespace

array encryptBytes(const array& plaintext, const Key& key, const Iv& iv) { return runCipher(plaintext, key, iv, true); }

array decryptBytes(const array& ciphertext, const Key& key, const Iv& iv) {
    return runCipher(ciphertext, key, iv, false);
}

std::string encryptString(const std::string& plaintext, const Key& key, const Iv& iv) {
    return runCipherOnString(plaintext, key, iv, true);
}

std::string decryptString(const std::string& ciphertext, const Key& key, const Iv& iv) {
    return runCipherOnString(ciphertext, key, iv, false);
}

string hexEncodeBytes(const string& source, string& destination) {
    if (source.length > destination.length / 2)
        throw std::runtime_error("crypt::hexEncodeBytes (string too long for encryption buffer)");
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::memset(destination.data, 0, destination.length);
    for (size_t i = 0; i < source.length; ++i) {
        const auto byte = static_cast<unsigned char>(source.data[i]);
        destination.data[2 * i] = DIGITS[byte >> 4];
        destination.data[2 * i + 1] = DIGITS[byte & 0x0f];
    }
    return {destination.data, 2 * source.length};
}

string hexDecodeBytes(const string& source, string& destination) {
    const size_t count = source.length / 2;
    if (count > destination.length)
        throw std::runtime_error("crypt::hexDecodeBytes (string too long for decryption buffer)");
    std::memset(destination.data, 0, destination.length);
    for (size_t i = 0; i + 1 < source.length; i += 2) {
        const unsigned high = hexDigitValue(static_cast<unsigned char>(source.data[i]));
        const unsigned low = hexDigitValue(static_cast<unsigned char>(source.data[i + 1]));
        destination.data[i / 2] = static_cast<char>(((high << 4) | low) & 0xffu);
    }
    return {destination.data, count};
}

std::string hexEncodeString(const std::string& text) {
    char buffer[HEX_BUFFER_SIZE];
    string destination{buffer, sizeof buffer};
    const string result = hexEncodeBytes({const_cast<char*>(text.data()), text.size()}, destination);
    return std::string(result.data, result.length);
}

std::string hexDecodeString(const std::string& text) {
    char buffer[HEX_BUFFER_SIZE];
    string destination{buffer, sizeof buffer};
    const string result = hexDecodeBytes({const_cast<char*>(text.data()), text.size()}, destination);
    return std::string(result.data, result.length);
}

}  // namespace lm::crypt
