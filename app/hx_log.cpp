#include "hx_log.h"

#include <spdlog/spdlog.h>

namespace hx {

std::shared_ptr<spdlog::logger> harbixLog() {
    auto log = spdlog::get("HarbixLog");
    return log ? log : spdlog::default_logger();
}

}  // namespace hx
