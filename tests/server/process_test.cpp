// The crw-server executable: bound port on its first line, one line per request, SIGTERM ends it cleanly.
#include "test_util.hpp"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace crw::test;

extern char** environ;

namespace {

class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv;
        args.insert(args.begin(), CRW_SERVER_EXE);
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, CRW_SERVER_EXE, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // Reads stdout until the text shows up, the pipe ends, or the time is up.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = kWait)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buf[1024];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) {
                ended_ = true;
                return output_.find(text) != std::string::npos;
            }
            output_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Exit status, or -1 when it did not end in time.
    int waitExit(std::chrono::milliseconds limit = kWait)
    {
        int status = 0;
        // The pipe closes when the process ends, so waiting on it needs no polling loop.
        waitForOutput(std::string(1, '\0'), limit);
        if (!ended_ || waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    bool ended_ = false;
};

unsigned short boundPort(const std::string& output)
{
    const auto at = output.find("listening on ");
    const auto colon = output.find(':', at);
    const auto end = output.find('\n', colon);
    if (at == std::string::npos || colon == std::string::npos || end == std::string::npos)
        return 0;
    return static_cast<unsigned short>(std::stoi(output.substr(colon + 1, end - colon - 1)));
}

} // namespace

TEST(Executable, SigtermClosesSocketsWith1001AndExitsZero)
{
    Child child({"--port", "0", "--demo", "3"});
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(child.waitForOutput("\n")) << child.output();
    const unsigned short port = boundPort(child.output());
    ASSERT_NE(port, 0) << child.output();

    Reg reg;
    ASSERT_EQ(httpRequest(port, "POST", "/register", reg.body()).status, 200);
    WsClient ws;
    ASSERT_TRUE(ws.connect(port));
    ASSERT_TRUE(ws.send(reg.body()));
    ASSERT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(reg.id) != std::string::npos; }));
    EXPECT_TRUE(child.waitForOutput("POST /register 200\n")) << child.output();
    EXPECT_TRUE(child.waitForOutput("GET /list 200\n")) << child.output();

    ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
    EXPECT_FALSE(ws.read());
    EXPECT_EQ(ws.closeCode(), 1001);
    EXPECT_EQ(child.waitExit(), 0) << child.output();
}

TEST(Executable, SigintAlsoExitsZeroAndBadFlagsAreRefused)
{
    Child child({"--port", "0"});
    ASSERT_TRUE(child.waitForOutput("\n"));
    ASSERT_EQ(kill(child.pid(), SIGINT), 0);
    EXPECT_EQ(child.waitExit(), 0);

    Child bad({"--port", "70000"});
    EXPECT_EQ(bad.waitExit(), 2);
}
