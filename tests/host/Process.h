#pragma once
// A child process with its standard output and error read into one buffer.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace hosttest {

class Process {
public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process(); // kills the child if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits (bounded) for text to appear in the output.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // The exit status, or nullopt when the child did not end in time (it is killed then).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    std::string output();

private:
    void readLoop(int fd);

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string output_;
    bool exited_ = false;
    int status_ = -1;
};

} // namespace hosttest
