#pragma once
// Command line and player profile of the sandbox.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

// The default MMR of every playlist the plug-in asks about, so a fresh sandbox sees the demo list.
std::map<int, float> defaultMMR();

struct Profile {
    std::string name = "SandboxPlayer";
    std::string id = "Epic|5a2db0c4e1f34b7a9c6d8e0f1a2b3c4d|0";
    std::map<int, float> mmr = defaultMMR(); // playlist id -> MMR
};

struct Options {
    std::string pluginPath; // empty: the Crewfinder library found next to the executable or in the build
    std::string dataDir = "sandbox-data";
    std::string assetsDir; // empty: the build's source assets
    std::string server;    // "host:port"; empty: the build's address on port 3000
    bool embeddedServer = true;
    unsigned demoSearchers = 24;
    bool headless = false;
    bool windowOpen = true; // the plug-in's window open at start
    bool exitAfterScript = false;
    bool quiet = false;      // no console echo on standard output
    bool frameStats = false; // the plug-in's frame times, live in the window and printed at exit
    bool strict = false;     // a broken host rule stops the run
    std::string script;
    std::string screenshot;
    std::optional<long> frames;
    int width = 1920;
    int height = 1080;
    Profile profile;
};

struct ParseResult {
    bool ok = true;
    bool help = false;
    std::string error;
};

ParseResult parseOptions(const std::vector<std::string>& args, Options& out);
std::string usageText();

// Reads a JSON profile: {"name": "...", "id": "...", "mmr": {"11": 1200, ...}}.
// Fields that are missing keep their value; a file that is not such an object is an error.
bool loadProfile(const std::string& path, Profile& profile, std::string& error);

// "host:port" with a port in 1..65535.
bool parseHostPort(const std::string& text, std::string& host, int& port);

} // namespace sandbox
