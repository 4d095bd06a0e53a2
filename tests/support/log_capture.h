#pragma once
// Catches what the code logs through a named spdlog logger: while the object lives, the
// logger of that name writes into memory, where the test reads the lines back.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace lmtest {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;
};

class LogCapture {
public:
    explicit LogCapture(std::string name = "HarbixLog") : mName(std::move(name)) {
        spdlog::drop(mName);
        auto logger = std::make_shared<spdlog::logger>(mName, mSink);
        logger->set_level(spdlog::level::trace);
        spdlog::register_logger(logger);
    }
    ~LogCapture() { spdlog::drop(mName); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const { return mSink->lines(); }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines()) out.push_back(line.text);
        return out;
    }
    // How many lines are exactly `text`.
    std::size_t count(const std::string& text) const {
        const auto all = lines();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.text == text; }));
    }
    // How many lines contain `part`.
    std::size_t countContaining(const std::string& part) const {
        const auto all = lines();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const LogLine& l) { return l.text.find(part) != std::string::npos; }));
    }

private:
    class Sink : public spdlog::sinks::base_sink<std::mutex> {
    public:
        std::vector<LogLine> lines() {
            std::lock_guard lock(mutex_);
            return mLines;
        }

    protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            mLines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}

    private:
        std::vector<LogLine> mLines;
    };

    std::string mName;
    std::shared_ptr<Sink> mSink = std::make_shared<Sink>();
};

}  // namespace lmtest
