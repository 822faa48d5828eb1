// crw-sandbox: a host for the Crewfinder plug-in outside the game.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "DataFolder.h"
#include "Frontend.h"
#include "Options.h"
#include "PluginLoader.h"
#include "SandboxHost.h"
#include "Script.h"
#include "crw/server/Server.h"
#include "crwhost/HostBackend.h"

#ifndef CRW_BUILD_PLUGIN
#define CRW_BUILD_PLUGIN ""
#endif
#ifndef CRW_DEFAULT_SERVER_HOST
#define CRW_DEFAULT_SERVER_HOST "127.0.0.1"
#endif

namespace {

enum ExitStatus { kOk = 0, kScriptFailed = 1, kUsage = 2, kLoadFailed = 3, kHostRuleBroken = 4 };

void onSignal(int) { sandbox::Frontend::stopRequested.store(true); }

// True when something accepts TCP connections at host:port.
bool somethingListens(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return false;
    }
    bool ok = false;
    for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0) {
            ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
            close(fd);
        }
    }
    freeaddrinfo(found);
    return ok;
}

bool isLoopback(const std::string& host) { return host == "localhost" || host.rfind("127.", 0) == 0; }

} // namespace

int main(int argc, char** argv)
{
    sandbox::Options options;
    const auto parsed = sandbox::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.help) {
        std::cout << sandbox::usageText();
        return kOk;
    }
    if (!parsed.ok) {
        std::cerr << "crw-sandbox: " << parsed.error << "\n" << sandbox::usageText();
        return kUsage;
    }
    if (!options.screenshot.empty() && options.script.empty() && !options.frames) {
        options.frames = 60; // long enough for the images to be on screen
    }

    std::vector<sandbox::Step> steps;
    if (!options.script.empty()) {
        std::string error;
        if (!sandbox::loadScript(options.script, steps, error)) {
            std::cerr << "crw-sandbox: " << error << "\n";
            return kUsage;
        }
    }

    std::string pluginPath =
        options.pluginPath.empty() ? sandbox::defaultPluginPath(CRW_BUILD_PLUGIN) : options.pluginPath;
    if (pluginPath.empty()) {
        std::cerr << "crw-sandbox: no plug-in library found (libcrw.so beside the executable or in the build); "
                     "pass --plugin FILE\n";
        return kLoadFailed;
    }

    std::error_code ec;
    const auto dataDir = std::filesystem::absolute(options.dataDir, ec);
    const std::filesystem::path assets =
        options.assetsDir.empty() ? sandbox::defaultAssetsDir() : std::filesystem::path(options.assetsDir);
    std::string error;
    if (ec || !sandbox::prepareDataFolder(dataDir, assets, error)) {
        std::cerr << "crw-sandbox: " << (ec ? ec.message() : error) << "\n";
        return kLoadFailed;
    }

    // Where the plug-in talks to: --server, else the environment, else the build's address.
    std::string serverHost = CRW_DEFAULT_SERVER_HOST;
    int serverPort = 3000;
    if (!options.server.empty()) {
        sandbox::parseHostPort(options.server, serverHost, serverPort);
        setenv("CRW_SERVER_ADDRESS", options.server.c_str(), 1); // read by the plug-in's constructor
    } else if (const char* env = std::getenv("CRW_SERVER_ADDRESS"); env != nullptr && *env != '\0') {
        if (!sandbox::parseHostPort(env, serverHost, serverPort)) {
            serverHost = env;
        }
    }
    const std::string serverText = serverHost + ":" + std::to_string(serverPort);

    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::unique_ptr<crw::server::Server> embedded;
    if (options.embeddedServer) {
        if (somethingListens(serverHost, serverPort)) {
            std::cout << "Using the server already listening on " << serverText << "\n";
        } else if (!isLoopback(serverHost)) {
            std::cout << "No server answers on " << serverText << " and it is not this machine; not starting one\n";
        } else {
            crw::server::ServerOptions serverOptions;
            serverOptions.demoSearchers = options.demoSearchers;
            serverOptions.log = [](const std::string&) {};
            embedded = std::make_unique<crw::server::Server>(serverOptions);
            try {
                embedded->start(serverHost == "localhost" ? "127.0.0.1" : serverHost,
                                static_cast<unsigned short>(serverPort));
                std::cout << "Embedded server on " << serverText << " with " << options.demoSearchers
                          << " demo searchers\n";
            } catch (const std::exception& e) {
                std::cerr << "crw-sandbox: cannot start the embedded server: " << e.what() << "\n";
                embedded.reset();
            }
        }
    }
    std::cout.flush();

    sandbox::SandboxHost host(options.profile, dataDir, !options.headless, !options.quiet);
    host.setStrict(options.strict);
    crwhost::SetHostBackend(&host);
    int status = kOk;
    {
        sandbox::PluginLoader loader(host);
        if (!loader.open(pluginPath, error)) {
            std::cerr << "crw-sandbox: " << error << "\n";
            crwhost::SetHostBackend(nullptr);
            return kLoadFailed;
        }
        const auto& record = loader.record();
        std::cout << "Loaded plug-in " << record.pluginName << " version " << record.pluginVersion << " (class "
                  << record.className << ", API " << record.apiVersion << ") from " << pluginPath << std::endl;

        sandbox::Frontend frontend(options, host, serverText);
        if (!frontend.init(error)) {
            std::cerr << "crw-sandbox: " << error << "\n";
            loader.unload();
            crwhost::SetHostBackend(nullptr);
            return kLoadFailed;
        }
        if (!loader.load(error)) {
            std::cerr << "crw-sandbox: " << error << "\n";
            loader.unload();
            frontend.shutdown();
            crwhost::SetHostBackend(nullptr);
            return kLoadFailed;
        }
        frontend.attach(loader);

        std::unique_ptr<sandbox::ScriptRunner> runner;
        if (!steps.empty()) {
            runner = std::make_unique<sandbox::ScriptRunner>(
                host, std::move(steps),
                [&frontend](const std::string& path, std::string& why) { return frontend.screenshot(path, why); },
                [&frontend](const std::string& key) { frontend.keyPressed(key); });
        }
        status = frontend.run(runner.get());
        if (options.frameStats) {
            std::cout << "frame stats: " << frontend.frameStatsText() << std::endl;
        }

        frontend.detach();
        loader.unload();
        frontend.shutdown();
    }
    host.stopGameThread();
    crwhost::SetHostBackend(nullptr);
    if (embedded) {
        embedded->stop();
    }
    if (host.ruleBroken()) {
        std::cerr << "crw-sandbox: stopped (--strict): the plug-in broke a rule of the host, see the console\n";
        return kHostRuleBroken;
    }
    return status;
}
