#pragma once
// A host for the fuzz targets: every service answers at once and does nothing,
// game jobs run inline, and the plug-in is loaded once per process.
#include <filesystem>
#include <memory>
#include <string>

#include "crwhost/HostBackend.h"

class CRW;

namespace crwfuzz {

class FuzzHost : public crwhost::HostBackend {
public:
    std::string name = "FuzzPlayer";
    std::string id = "Epic|00000000000000000000000000000001|0";
    std::filesystem::path dataDir;

    void log(const std::string&) override {}
    void registerNotifier(const std::string&, crwhost::NotifierCallback, const std::string&, unsigned char) override {}
    void executeCommand(const std::string&, bool) override {}
    void setBind(const std::string&, const std::string&) override {}
    bool hasCvar(const std::string&) override { return false; }
    int getCvarInt(const std::string&) override { return 1; }
    void setCvarInt(const std::string&, int) override {}
    void execute(std::function<void()> job) override { job(); }
    void hookEvent(const std::string&, std::function<void(std::string)>) override {}
    void toast(const std::string&, const std::string&, const std::string&, float, unsigned char, float, float) override
    {
    }
    std::filesystem::path dataFolder() override { return dataDir; }
    std::string uniqueIdString() override { return id; }
    std::string playerName() override { return name; }
    float playerMMR(const std::string&, int playlistId) override { return 1000.f + static_cast<float>(playlistId); }
    // Every invite that reaches the game must have passed the checks.
    int fnameIndexByString(const std::string& text) override;
    void sendHttp(CurlRequest, crwhost::HttpCallback callback, bool) override { callback(0, ""); }
    unsigned long long imageCreate(const std::filesystem::path&, bool, bool) override { return 1; }
    void* imageTexture(unsigned long long) override { return nullptr; }
    void imageRelease(unsigned long long) override {}
};

struct Env {
    FuzzHost host;
    std::shared_ptr<CRW> plugin;
};

// Built on first use, with a fresh data folder holding CRW/presets; never
// destroyed, so no thread outlives what it uses.
Env& env();

} // namespace crwfuzz
