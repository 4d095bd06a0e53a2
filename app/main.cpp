// harbix: reads the settings file named on the command line, builds the processing engine
// and runs until SIGINT, SIGTERM or (with the preview window) the q or Esc key. The exit
// status is 0 after a clean exit and 1 after a usage error or any failure.

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/highgui.hpp>

#include "hx_allocator.h"
#include "hx_engine.h"
#include "hx_product.h"
#include "hx_settings.h"

namespace {

// Written only by signalHandler, read at the top of every pass of the main loop.
volatile std::sig_atomic_t gShouldExit = 0;

void signalHandler(int /*signal*/) { gShouldExit = 1; }

// A file that reaches the size limit fails its write, like a full disk, instead of ending
// the process.
void ignoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }

// The OpenCL runtime puts handlers of its own on the fatal signals when it comes up, and on
// any of them puts back what it found then; so these go in once OpenCL and the engine are up.
void installSignalHandlers() {
    std::signal(SIGINT, signalHandler);
    std::signal(SIGTERM, signalHandler);
    ignoreFileSizeSignal();
}

[[noreturn]] void printHelpAndExit(const std::string& message) {
    std::cout << message << '\n'
              << '\n'
              << "Arguments:\n"
              << "-s, --settings <path>  : Path to the Lumora Harbix's settings file.\n"
              << "-o, --show-output      : Display video feed and processing result overlay in a window.\n"
              << "-r, --auto-start       : Start processing when Harbix is launched.\n"
              << std::flush;
    std::exit(1);
}

struct CommandLine {
    std::string settingsPath;
    bool showOutput = false;
    bool autoStart = false;
};

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-s" || argument == "--settings") {
            if (i + 1 >= argc) printHelpAndExit("Settings path argument missing");
            // Whatever follows is the path, even when it looks like an option.
            line.settingsPath = argv[++i];
        } else if (argument == "-o" || argument == "--show-output") {
            line.showOutput = true;
        } else if (argument == "-r" || argument == "--auto-start") {
            line.autoStart = true;
        } else if (argument == "-or" || argument == "-ro") {
            line.showOutput = true;
            line.autoStart = true;
        }
        // Anything else is ignored.
    }
    if (line.settingsPath.empty()) printHelpAndExit("Please specify Lumora Harbix settings");
    return line;
}

std::shared_ptr<spdlog::logger> createLogger() {
    auto sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
    auto log = std::make_shared<spdlog::logger>("HarbixLog", std::move(sink));
    log->set_level(spdlog::level::info);
    spdlog::register_logger(log);
    return log;
}

// OpenCV's window back end (Qt) aborts the process when it finds no display, so the preview
// is only offered when there is one to connect to.
bool displayAvailable() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

// One pass of the preview: shows the newest annotated picture and acts on a key. Returns
// false when the key asks the program to end.
bool previewPass(hx::Engine& engine, bool& windowShown) {
    const cv::Mat image = engine.getCurrentFrame();
    if (!image.empty()) {
        cv::imshow("Test", image);
        windowShown = true;
    }
    if (!windowShown) {
        // Without a window cv::waitKey returns at once: sleep instead of spinning on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return true;
    }
    const int key = cv::waitKey(30) & 0xFF;
    switch (key) {
        case 'q':
        case 27: return false;
        // One at a time with the control endpoints, like their requests among themselves.
        case 's': {
            const auto api = engine.lockApi();
            engine.start();
            break;
        }
        case 'S': {
            const auto api = engine.lockApi();
            engine.stop();
            break;
        }
        default: break;
    }
    return true;
}

void runMainLoop(hx::Engine& engine, bool showOutput) {
    bool windowShown = false;
    while (gShouldExit == 0) {
        if (showOutput) {
            if (!previewPass(engine, windowShown)) break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (windowShown) cv::destroyAllWindows();
}

// Logs what ended the program by an exception.
void logFailure(spdlog::logger& log, const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        log.error("Mainloop error : {}", error.what());
    } catch (...) {
        log.error("Undefined exception");
    }
}

// Loads the settings, builds the engine and runs until the program is asked to end; returns
// the exit status. A failure once the engine exists is logged before the engine is
// destroyed; one before it leaves to the caller.
int run(CommandLine& line, spdlog::logger& log) {
    // What a store killed before its rename left beside the file.
    if (const std::size_t removed = hx::Settings::removeStaleTemporaryFiles(line.settingsPath)) {
        log.info("Removed {} stale temporary settings file(s) beside {}", removed, line.settingsPath);
    }
    hx::Settings settings;
    settings.neuralNetworksPath = "./networks";
    settings.load(line.settingsPath);
    log.info("Initialization settings:\n");
    settings.logSettings();

    // OpenCV brings OpenCL up on the first thread that asks for it, and the OpenCL
    // runtime may give that thread an alternate signal stack of its own: asked here, that
    // is the main thread, which lives as long as the process, not a processing thread.
    // A CPU target never asks, and the runtime (about 60 MB resident) stays out.
    if (settings.gpuTargetEnabled()) (void)cv::ocl::useOpenCL();
    // The engine's destructor ends a run still going, so leaving this scope by an
    // exception never waits on the processing thread.
    hx::Engine engine(settings);
    try {
        installSignalHandlers();
        // From here on a signal ends the program cleanly; scripts and tests wait for this.
        log.info("Ready: SIGINT or SIGTERM ends the program");

        if (line.showOutput && !displayAvailable()) {
            log.warn("No display found: the preview window is off");
            line.showOutput = false;
        }
        if (line.autoStart) engine.start();

        runMainLoop(engine, line.showOutput);

        engine.stop();
        log.info("Clean exit");
        return 0;
    } catch (...) {
        logFailure(log, std::current_exception());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread shares the bounded arenas.
    hx::boundAllocatorCaches();
    // Also for the settings file, written before the engine exists.
    ignoreFileSizeSignal();
    const auto log = createLogger();
    log->info("{} - {}", hx::product::name(), hx::product::version());
    CommandLine line = parseCommandLine(argc, argv);

    int status = 1;
    try {
        status = run(line, *log);
    } catch (...) {
        logFailure(*log, std::current_exception());
    }
    if (status != 0) log->error("Exit after error");
    return status;
}
