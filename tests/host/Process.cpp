#include "Process.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace hosttest {

Process::Process(const std::vector<std::string>& argv)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (pid_ <= 0) {
        close(fds[0]);
        return;
    }
    reader_ = std::thread([this, fd = fds[0]] { readLoop(fd); });
}

Process::~Process()
{
    if (pid_ > 0) {
        wait(std::chrono::milliseconds(0));
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Process::readLoop(int fd)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, static_cast<size_t>(n));
        cv_.notify_all();
    }
    close(fd);
    int status = 0;
    waitpid(pid_, &status, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    cv_.notify_all();
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return output_.find(text) != std::string::npos || exited_; }) &&
           output_.find(text) != std::string::npos;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0) {
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, timeout, [&] { return exited_; })) {
        return status_;
    }
    kill(pid_, SIGKILL);
    cv_.wait(lock, [&] { return exited_; });
    return std::nullopt;
}

std::string Process::output()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

} // namespace hosttest
