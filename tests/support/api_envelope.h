#pragma once
// The body of the program's control answers, as a client reads it.

#include <string>

namespace lmtest {

inline std::string envelope(int code, const std::string& description) {
    return "{ \"error_code\" : " + std::to_string(code) + ", \"description\" : \"" + description + "\"}";
}

}  // namespace lmtest
