// Child processes for the cluster tests: crw-server nodes and a private redis-server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace crw::test {

// A child whose standard output and error are read through a pipe; killed when destroyed.
class Process {
public:
    Process(const std::string& exe, std::vector<std::string> args);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Reads the output until the text shows up, the pipe ends, or the time is up.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    void signal(int sig);
    // Exit status (128 + signal when killed), or -1 when it did not end in time.
    int waitExit(std::chrono::milliseconds limit);
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    bool ended_ = false;
};

// A port that was free a moment ago.
unsigned short freePort();

// redis-server on a free loopback port, without persistence; stop() and start() again keep the port.
class RedisServer {
public:
    RedisServer();
    ~RedisServer() { stop(); }
    bool start();
    void stop();
    // SIGSTOP / SIGCONT: a Redis that stops answering while its connections stay open.
    void signal(int sig)
    {
        if (process_)
            process_->signal(sig);
    }
    unsigned short port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    unsigned short port_ = 0;
    std::unique_ptr<Process> process_;
};

} // namespace crw::test
