// crw-server: the Crewfinder matchmaking server.
#include "crw/server/Server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Exit codes, also listed in docs/deployment.md.
constexpr int kExitStopped = 0;   // stopped by a signal, after draining or at once
constexpr int kExitNoStart = 1;   // could not start: address in use, bad bind or Redis address, node id taken
constexpr int kExitUsage = 2;     // bad command line; restarting cannot help
constexpr int kExitIdLost = 3;    // another live process took this node's id while it ran

// Why the main thread is woken besides an operator's signal; set before the waker signals the main thread.
std::mutex wakeMutex;
std::string fatalReason;
bool drainDone = false;

void usage()
{
    std::cerr
        << "usage: crw-server [--port N] [--bind ADDRESS] [--demo N] [--max-connections N] [--max-per-address N]\n"
           "                  [--redis HOST:PORT [--node-id NAME] [--redis-password P] [--redis-db N]\n"
           "                  [--redis-prefix P]] [--trusted-proxy CIDR]...\n"
           "                  [--network-bits-v4 N] [--network-bits-v6 N] [--max-pending N]\n"
           "                  [--metrics-bind ADDRESS:PORT] [--list-budget-bytes N]\n"
           "                  [--drain-timeout SECONDS] [--version]\n";
}

// An option that would change nothing in this combination is an operator's mistake worth stopping for.
bool refuse(const std::string& text)
{
    std::cerr << "crw-server: " << text << '\n';
    return false;
}

// Every connection is a descriptor: the soft limit (often 1024) would cap the server long before its own cap.
void raiseFileLimit(std::size_t connections)
{
    const rlim_t wanted = static_cast<rlim_t>(connections) + 64;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    const rlim_t target = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = target;
    const rlim_t now = setrlimit(RLIMIT_NOFILE, &limit) == 0 ? target : before;
    if (now < wanted)
        std::cerr << "crw-server: warning: open-file limit is " << now << ", below the " << wanted
                  << " that --max-connections " << connections << " needs" << std::endl;
}

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
    crw::server::ServerOptions options;
    unsigned long maxConnections = options.maxConnections;
    unsigned long maxPerAddress = options.maxPerAddress;
    std::string bind = "127.0.0.1";
    std::string redisOption; // the last --redis-... option given
    unsigned long number = 0;
    // Limits by network, and the counters kept off the public port unless asked for on a listener of their own.
    unsigned long networkBitsV4 = options.networkBitsV4, networkBitsV6 = options.networkBitsV6;
    unsigned long maxPending = options.maxPending;
    options.metricsBind = "off";
    unsigned long drainSeconds = 120;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = false;
        if (arg == "--port")
            ok = parseNumber(value, 65535, port);
        else if (arg == "--demo")
            ok = parseNumber(value, 10000, demo);
        else if (arg == "--max-connections")
            ok = parseNumber(value, 1000000, maxConnections) && maxConnections > 0;
        else if (arg == "--max-per-address")
            ok = parseNumber(value, 1000000, maxPerAddress) && maxPerAddress > 0;
        else if (arg == "--redis" && value)
            ok = (options.redis = value, true);
        else if (arg == "--node-id" && value && *value)
            ok = (options.nodeId = value, true);
        // Redis shared with others (the password may come from CRW_REDIS_PASSWORD instead, out of sight of ps).
        else if (arg == "--redis-password" && value)
            ok = (options.redisPassword = value, redisOption = arg, true);
        else if (arg == "--redis-db" && parseNumber(value, 1000000, number))
            ok = (options.redisDb = static_cast<unsigned>(number), redisOption = arg, true);
        else if (arg == "--redis-prefix" && value)
            ok = (options.redisPrefix = value, redisOption = arg, true);
        else if (arg == "--trusted-proxy" && value)
            ok = (options.trustedProxies.push_back(value), true);
        else if (arg == "--network-bits-v4")
            ok = parseNumber(value, 32, networkBitsV4);
        else if (arg == "--network-bits-v6")
            ok = parseNumber(value, 128, networkBitsV6);
        else if (arg == "--max-pending")
            ok = parseNumber(value, 10000000, maxPending) && maxPending > 0;
        else if (arg == "--metrics-bind" && value && *value)
            ok = (options.metricsBind = value, true);
        else if (arg == "--bind" && value)
            ok = (bind = value, true);
        else if (arg == "--list-budget-bytes") {
            unsigned long bytes = 0;
            ok = parseNumber(value, 1024ul * 1024 * 1024, bytes) && bytes >= 1024;
            options.listBudgetBytes = bytes;
        }
        else if (arg == "--drain-timeout")
            ok = parseNumber(value, 86400, drainSeconds);
        else if (arg == "--version")
            return std::cout << "crw-server " << CRW_VERSION << std::endl, kExitStopped;
        else if (arg == "--help" || arg == "-h")
            return usage(), kExitStopped;
        if (!ok) {
            usage();
            return kExitUsage;
        }
        ++i;
    }
    if (!options.nodeId.empty() && options.redis.empty() && !refuse("--node-id has no effect without --redis"))
        return kExitUsage;

    if (const char* password = std::getenv("CRW_REDIS_PASSWORD");
        password && *password && options.redisPassword.empty())
        options.redisPassword = password;
    if (!redisOption.empty() && options.redis.empty() && !refuse(redisOption + " has no effect without --redis HOST:PORT"))
        return kExitUsage;

    // Block the stop signals in every thread; the main thread alone waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    options.onFatal = [](const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            fatalReason = text;
        }
        kill(getpid(), SIGTERM);
    };
    options.demoSearchers = static_cast<unsigned>(demo);
    options.maxConnections = maxConnections;
    options.maxPerAddress = maxPerAddress;
    options.networkBitsV4 = static_cast<unsigned>(networkBitsV4);
    options.networkBitsV6 = static_cast<unsigned>(networkBitsV6);
    options.maxPending = maxPending;
    raiseFileLimit(options.maxConnections);
    crw::server::Server server(options);
    unsigned short bound = 0;
    try {
        bound = server.start(bind, static_cast<unsigned short>(port));
    } catch (const std::exception& e) {
        std::cerr << "crw-server: " << e.what() << '\n';
        return kExitNoStart;
    }
    std::cout << "listening on " << bind << ":" << bound << std::endl;
    if (server.metricsPort())
        std::cout << "metrics on port " << server.metricsPort() << std::endl;

    // A first SIGTERM drains; a second one, a SIGINT, or the end of the drain stops.
    std::thread drainer;
    int received = 0;
    for (bool draining = false;;) {
        while (sigwait(&signals, &received) != 0) {
        }
        std::lock_guard<std::mutex> lock(wakeMutex);
        if (!fatalReason.empty() || drainDone || draining || received != SIGTERM || drainSeconds == 0)
            break;
        draining = true;
        server.drain();
        drainer = std::thread([&server, limit = std::chrono::seconds(drainSeconds)] {
            server.waitDrained(limit);
            {
                std::lock_guard<std::mutex> lock(wakeMutex);
                drainDone = true;
            }
            kill(getpid(), SIGTERM);
        });
    }
    std::string fatal;
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        fatal = fatalReason;
    }
    if (!fatal.empty())
        std::cerr << "crw-server: " << fatal << ", stopping" << std::endl;
    else
        std::cout << "signal " << received << ", shutting down" << std::endl;
    server.stop(); // also ends a drain still waiting
    if (drainer.joinable())
        drainer.join();
    return fatal.empty() ? kExitStopped : kExitIdLost;
}
