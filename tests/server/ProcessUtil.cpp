#include "ProcessUtil.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace crw::test {

Process::Process(const std::string& exe, std::vector<std::string> args)
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    args.insert(args.begin(), exe);
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ended_)
            return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            ended_ = true;
            return output_.find(text) != std::string::npos;
        }
        output_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

void Process::signal(int sig)
{
    if (pid_ <= 0)
        return;
    kill(pid_, sig);
    // kill() returns before every thread has stopped, and callers count on a stopped child taking nothing in. The
    // report is left in place (WNOWAIT), so that an exit is still reaped by waitExit().
    if (sig == SIGSTOP) {
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT);
    }
}

int Process::waitExit(std::chrono::milliseconds limit)
{
    int status = 0;
    // The pipe closes when the process ends, so waiting on it needs no polling loop.
    waitForOutput(std::string(1, '\0'), limit);
    if (!ended_ || pid_ <= 0 || waitpid(pid_, &status, 0) != pid_)
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

unsigned short freePort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

RedisServer::RedisServer() : port_(freePort()) {}

bool RedisServer::start()
{
    stop();
    process_ = std::make_unique<Process>(
        CRW_REDIS_SERVER, std::vector<std::string>{"--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "",
                                                   "--appendonly", "no", "--daemonize", "no"});
    return process_->pid() > 0 &&
           process_->waitForOutput("Ready to accept connections", std::chrono::milliseconds(10000));
}

void RedisServer::stop()
{
    if (!process_)
        return;
    process_->signal(SIGTERM);
    process_->waitExit(std::chrono::milliseconds(10000));
    process_.reset();
}

} // namespace crw::test
