#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <json/json.h>

namespace sandbox {

namespace {

bool parseLong(const std::string& text, long min, long max, long& out)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool parseFloat(const std::string& text, float& out)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text.c_str(), &end);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    out = v;
    return true;
}

// "11=1200"
bool parseMMR(const std::string& text, std::map<int, float>& mmr)
{
    const auto eq = text.find('=');
    long playlist = 0;
    float value = 0.f;
    if (eq == std::string::npos || !parseLong(text.substr(0, eq), -1000000, 1000000, playlist) ||
        !parseFloat(text.substr(eq + 1), value)) {
        return false;
    }
    mmr[static_cast<int>(playlist)] = value;
    return true;
}

} // namespace

std::map<int, float> defaultMMR()
{
    return {{11, 1000.f}, {13, 950.f}, {2, 800.f},  {3, 800.f}, {22, 900.f},
            {28, 700.f},  {29, 700.f}, {27, 700.f}, {30, 700.f}};
}

bool parseHostPort(const std::string& text, std::string& host, int& port)
{
    const auto colon = text.rfind(':');
    long p = 0;
    if (colon == std::string::npos || colon == 0 || !parseLong(text.substr(colon + 1), 1, 65535, p)) {
        return false;
    }
    host = text.substr(0, colon);
    port = static_cast<int>(p);
    return true;
}

std::string usageText()
{
    return "usage: crw-sandbox [options]\n"
           "  --plugin FILE          plug-in library to load (default: libcrw.so of this build)\n"
           "  --data-dir DIR         host data folder (default ./sandbox-data)\n"
           "  --assets DIR           images copied into a new data folder\n"
           "  --server HOST:PORT     server the plug-in talks to\n"
           "  --no-embedded-server   never start the in-process server\n"
           "  --demo N               demo searchers of the embedded server (default 24)\n"
           "  --name NAME            player name\n"
           "  --id ID                player unique id\n"
           "  --mmr PLAYLIST=MMR     MMR in one playlist (repeatable)\n"
           "  --profile FILE         JSON profile with name, id and mmr\n"
           "  --headless             no window and no GL\n"
           "  --closed               start with the plug-in's window closed\n"
           "  --script FILE          run the steps of FILE\n"
           "  --exit                 exit when the script is done (always so when headless)\n"
           "  --frames N             exit after N frames (after the script)\n"
           "  --screenshot FILE      write the window to a PNG, then exit\n"
           "  --size WxH             window or display size (default 1920x1080)\n"
           "  --quiet                do not echo the console on standard output\n"
           "  --frame-stats          time the plug-in's frames: shown live, printed at exit\n"
           "  --strict               stop the run when the plug-in breaks a host rule (exit status 4)\n";
}

ParseResult parseOptions(const std::vector<std::string>& args, Options& out)
{
    ParseResult result;
    auto fail = [&](const std::string& message) {
        result.ok = false;
        result.error = message;
        return result;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        const std::string value = hasValue ? args[i + 1] : std::string();
        auto needValue = [&]() { return hasValue; };

        if (arg == "--help" || arg == "-h") {
            result.help = true;
            return result;
        } else if (arg == "--headless") {
            out.headless = true;
        } else if (arg == "--no-embedded-server") {
            out.embeddedServer = false;
        } else if (arg == "--closed") {
            out.windowOpen = false;
        } else if (arg == "--exit") {
            out.exitAfterScript = true;
        } else if (arg == "--frame-stats") {
            out.frameStats = true;
        } else if (arg == "--quiet") {
            out.quiet = true;
        } else if (arg == "--strict") {
            out.strict = true;
        } else if (arg == "--plugin" || arg == "--data-dir" || arg == "--assets" || arg == "--server" ||
                   arg == "--name" || arg == "--id" || arg == "--script" || arg == "--screenshot" ||
                   arg == "--profile" || arg == "--mmr" || arg == "--frames" || arg == "--demo" || arg == "--size") {
            if (!needValue() || value.empty()) {
                return fail(arg + " needs a value");
            }
            ++i;
            if (arg == "--plugin") {
                out.pluginPath = value;
            } else if (arg == "--data-dir") {
                out.dataDir = value;
            } else if (arg == "--assets") {
                out.assetsDir = value;
            } else if (arg == "--server") {
                std::string host;
                int port = 0;
                if (!parseHostPort(value, host, port)) {
                    return fail("--server wants HOST:PORT, got \"" + value + "\"");
                }
                out.server = value;
            } else if (arg == "--name") {
                out.profile.name = value;
            } else if (arg == "--id") {
                out.profile.id = value;
            } else if (arg == "--script") {
                out.script = value;
            } else if (arg == "--screenshot") {
                out.screenshot = value;
            } else if (arg == "--profile") {
                std::string error;
                if (!loadProfile(value, out.profile, error)) {
                    return fail(error);
                }
            } else if (arg == "--mmr") {
                if (!parseMMR(value, out.profile.mmr)) {
                    return fail("--mmr wants PLAYLIST=MMR, got \"" + value + "\"");
                }
            } else if (arg == "--frames") {
                long n = 0;
                if (!parseLong(value, 1, 100000000, n)) {
                    return fail("--frames wants a positive number");
                }
                out.frames = n;
            } else if (arg == "--demo") {
                long n = 0;
                if (!parseLong(value, 0, 10000, n)) {
                    return fail("--demo wants a number from 0 to 10000");
                }
                out.demoSearchers = static_cast<unsigned>(n);
            } else if (arg == "--size") {
                const auto x = value.find('x');
                long w = 0, h = 0;
                if (x == std::string::npos || !parseLong(value.substr(0, x), 320, 16384, w) ||
                    !parseLong(value.substr(x + 1), 240, 16384, h)) {
                    return fail("--size wants WIDTHxHEIGHT");
                }
                out.width = static_cast<int>(w);
                out.height = static_cast<int>(h);
            }
        } else {
            return fail("unknown argument \"" + arg + "\"");
        }
    }
    return result;
}

bool loadProfile(const std::string& path, Profile& profile, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the profile " + path;
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string parseErrors;
    std::istringstream stream(buffer.str());
    if (!Json::parseFromStream(builder, stream, &root, &parseErrors) || !root.isObject()) {
        error = "the profile " + path + " is not a JSON object";
        return false;
    }
    Profile next = profile;
    if (root.isMember("name")) {
        if (!root["name"].isString()) {
            error = "profile: \"name\" must be a string";
            return false;
        }
        next.name = root["name"].asString();
    }
    if (root.isMember("id")) {
        if (!root["id"].isString()) {
            error = "profile: \"id\" must be a string";
            return false;
        }
        next.id = root["id"].asString();
    }
    if (root.isMember("mmr")) {
        const Json::Value& mmr = root["mmr"];
        if (!mmr.isObject()) {
            error = "profile: \"mmr\" must be an object of playlist id to number";
            return false;
        }
        for (const auto& key : mmr.getMemberNames()) {
            long playlist = 0;
            if (!parseLong(key, -1000000, 1000000, playlist) || !mmr[key].isNumeric()) {
                error = "profile: bad mmr entry \"" + key + "\"";
                return false;
            }
            next.mmr[static_cast<int>(playlist)] = mmr[key].asFloat();
        }
    }
    profile = std::move(next);
    return true;
}

} // namespace sandbox
