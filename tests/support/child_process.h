#pragma once
// Runs a program as a child process for whole-program tests: its standard output and error
// are collected in memory (read on a thread of their own, so the child never blocks on a
// full pipe), the test can wait for a text to appear, send signals and wait for the exit.
// The child leads a process group of its own; a child still running when the object goes is
// killed with its whole group (helpers it started, such as an X server, go with it).

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lmtest {

struct ChildOptions {
    std::string workingDirectory;                                     // empty: the test's own
    std::vector<std::string> unsetEnvironment;                        // names removed for the child
    std::vector<std::pair<std::string, std::string>> setEnvironment;  // added or replaced
    std::optional<rlim_t> fileSizeLimit;                              // bytes a file may grow to
};

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments, const ChildOptions& options = {}) {
        if (arguments.empty()) throw std::invalid_argument("no program to run");
        // Everything the child needs is built before fork: after it, only exec-safe calls.
        std::vector<std::string> environment = childEnvironment(options);
        std::vector<char*> argv, envp;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        const char* directory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        mPid = ::fork();
        if (mPid < 0) throw std::runtime_error("fork failed");
        if (mPid == 0) {
            ::setpgid(0, 0);
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::dup2(pipeFds[1], STDERR_FILENO);
            const int devNull = ::open("/dev/null", O_RDONLY);
            if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
            if (directory != nullptr && ::chdir(directory) != 0) ::_exit(126);
            if (options.fileSizeLimit) {
                const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::setpgid(mPid, mPid);  // also here, so that the group exists whoever runs first
        ::close(pipeFds[1]);
        mReadFd = pipeFds[0];
        mReader = std::thread([this] { readOutput(); });
    }

    ~ChildProcess() {
        if (!mExitStatus) {
            ::kill(-mPid, SIGKILL);
            ::kill(mPid, SIGKILL);
            int status = 0;
            ::waitpid(mPid, &status, 0);
        } else if (!outputEnded()) {
            // The child has gone but a helper of its group still holds the pipe.
            ::kill(-mPid, SIGKILL);
        }
        if (mReader.joinable()) mReader.join();
        ::close(mReadFd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return mPid; }

    std::string output() const {
        std::lock_guard lock(mMutex);
        return mOutput;
    }

    // How often `part` occurs in the output so far.
    std::size_t count(const std::string& part) const {
        std::lock_guard lock(mMutex);
        return countLocked(part);
    }

    // Waits until `part` has appeared `times` times in the output; false on time-out or when
    // the output ends first.
    bool waitForOutput(const std::string& part, std::chrono::milliseconds timeout, std::size_t times = 1) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, timeout, [&] { return countLocked(part) >= times || mOutputEnded; }) &&
               countLocked(part) >= times;
    }

    void signal(int number) { ::kill(mPid, number); }

    // The exit status (128 + the signal's number when a signal ended it), or nothing when
    // the child is still running after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!mExitStatus) {
            int status = 0;
            const pid_t done = ::waitpid(mPid, &status, WNOHANG);
            if (done == mPid) {
                mExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > end) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // The output is complete once the child (and whoever shares its pipe) has gone.
        std::unique_lock lock(mMutex);
        mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return mOutputEnded; });
        return mExitStatus;
    }

private:
    bool outputEnded() const {
        std::lock_guard lock(mMutex);
        return mOutputEnded;
    }

    static std::vector<std::string> childEnvironment(const ChildOptions& options) {
        std::vector<std::string> environment;
        auto removed = [&](const std::string& entry) {
            const std::string name = entry.substr(0, entry.find('='));
            for (const auto& unset : options.unsetEnvironment)
                if (name == unset) return true;
            for (const auto& [set, value] : options.setEnvironment)
                if (name == set) return true;
            return false;
        };
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (!removed(*entry)) environment.emplace_back(*entry);
        for (const auto& [name, value] : options.setEnvironment) environment.push_back(name + "=" + value);
        return environment;
    }

    std::size_t countLocked(const std::string& part) const {
        std::size_t found = 0;
        for (auto at = mOutput.find(part); at != std::string::npos; at = mOutput.find(part, at + part.size())) ++found;
        return found;
    }

    void readOutput() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(mReadFd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard lock(mMutex);
            if (n <= 0) {
                mOutputEnded = true;
                mChanged.notify_all();
                return;
            }
            mOutput.append(buffer, static_cast<std::size_t>(n));
            mChanged.notify_all();
        }
    }

    pid_t mPid = -1;
    int mReadFd = -1;
    std::optional<int> mExitStatus;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::string mOutput;
    bool mOutputEnded = false;
    std::thread mReader;
};

}  // namespace lmtest
