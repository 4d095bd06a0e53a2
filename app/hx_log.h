#pragma once
// The program's logger, for every unit of the program.

#include <memory>

#include <spdlog/logger.h>

namespace hx {

// "HarbixLog" once the entry point has made it; before that (and in tests that make none)
// spdlog's default logger, so that a message is never lost to a null pointer.
std::shared_ptr<spdlog::logger> harbixLog();

}  // namespace hx
