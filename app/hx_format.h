#pragma once
// The program's text serialisers: time stamps, CSV lines and JSON documents.

#include <string>
#include <string_view>

namespace hx::format {

// Escapes a text for insertion between the quotes of a JSON string: quote, backslash and
// control characters. Every other byte, UTF-8 included, is copied as it is, so ordinary
// texts come out unchanged. The one place where the program escapes JSON.
std::string escapeJson(std::string_view text);

}  // namespace hx::format
