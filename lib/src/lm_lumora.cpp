#include "lumora/lm_lumora.h"

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>

#include "product.h"
#include "util/custom_layers.h"

namespace lm {

namespace {

constexpr const char* LOGGER_NAME = "LumoraLog";

// Lives from library load to unload: creates the library's logger and makes the custom
// network layer known to OpenCV before any network is read.
class LibraryLifetime {
public:
    LibraryLifetime() {
        auto sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
        spdlog::initialize_logger(std::make_shared<spdlog::logger>(LOGGER_NAME, std::move(sink)));
        registerCustomLayers();
    }
    ~LibraryLifetime() { spdlog::drop(LOGGER_NAME); }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

const LibraryLifetime LIBRARY_LIFETIME;

}  // namespace

std::string getVersion() { return product::version(); }

}  // namespace lm
