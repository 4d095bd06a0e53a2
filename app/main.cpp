#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>

#include <lumora/lm_lumora.h>

#include "hx_product.h"

int main() {
    auto sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
    auto log = std::make_shared<spdlog::logger>("HarbixLog", std::move(sink));
    spdlog::initialize_logger(log);
    log->info("{} - {}", hx::product::name(), hx::product::version());
    log->info("Lumora library version {}", lm::getVersion());
    return 0;
}
