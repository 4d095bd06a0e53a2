#pragma once
// AES-256-CBC with PKCS#7 padding over OpenSSL's EVP interface, and lower-case
// hexadecimal coding into caller buffers. The model files are encrypted under
// DEFAULT_KEY and DEFAULT_IV.

#include <array>
#include <cstddef>
#include <string>

#include "lumora/lm_export.h"

namespace lm::crypt {

// A byte block. As an argument it only designates the caller's bytes; returned by
// encryptBytes/decryptBytes it is a new[] block the caller releases with delete[].
struct array {
    unsigned char* data;
    size_t length;
};

// A character buffer: as a source the text and its length, as a destination the
// caller's buffer and its capacity, as a result the destination and the bytes produced.
struct string {
    char* data;
    size_t length;
};

using Key = std::array<unsigned char, 32>;
using Iv = std::array<unsigned char, 16>;

LUMORA_EXPORT extern const Key DEFAULT_KEY;
LUMORA_EXPORT extern const Iv DEFAULT_IV;

LUMORA_EXPORT array encryptBytes(const array& plaintext, const Key& key, const Iv& iv);
LUMORA_EXPORT array decryptBytes(const array& ciphertext, const Key& key, const Iv& iv);
LUMORA_EXPORT std::string encryptString(const std::string& plaintext, const Key& key, const Iv& iv);
LUMORA_EXPORT std::string decryptString(const std::string& ciphertext, const Key& key, const Iv& iv);

LUMORA_EXPORT string hexEncodeBytes(const string& source, string& destination);
LUMORA_EXPORT string hexDecodeBytes(const string& source, string& destination);
LUMORA_EXPORT std::string hexEncodeString(const std::string& text);
LUMORA_EXPORT std::string hexDecodeString(const std::string& text);

}  // namespace lm::crypt
