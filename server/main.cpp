// crw-server: the Crewfinder matchmaking server.
#include "crw/server/server.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

void usage() { std::cerr << "usage: crw-server [--port N] [--bind ADDRESS] [--demo N]\n"; }

bool parseNumber(const char* text, unsigned long max, unsigned long& out)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && text[0] != '-' && out <= max;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long port = 3000;
    unsigned long demo = 0;
    std::string bind = "127.0.0.1";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = false;
        if (arg == "--port")
            ok = parseNumber(value, 65535, port);
        else if (arg == "--demo")
            ok = parseNumber(value, 10000, demo);
        else if (arg == "--bind" && value)
            ok = (bind = value, true);
        else if (arg == "--help" || arg == "-h")
            return usage(), 0;
        if (!ok) {
            usage();
            return 2;
        }
        ++i;
    }

    // Block the stop signals in every thread; the main thread alone waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    crw::server::ServerOptions options;
    options.demoSearchers = static_cast<unsigned>(demo);
    crw::server::Server server(options);
    unsigned short bound = 0;
    try {
        bound = server.start(bind, static_cast<unsigned short>(port));
    } catch (const std::exception& e) {
        std::cerr << "crw-server: " << e.what() << '\n';
        return 1;
    }
    std::cout << "listening on " << bind << ":" << bound << std::endl;

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    std::cout << "signal " << received << ", shutting down" << std::endl;
    server.stop();
    return 0;
}
