#pragma once
// Opens a plug-in library, checks its "exports" record and drives the
// plug-in object's lifetime: getPlugin, onLoad, deleteMe, dlclose.
#include <memory>
#include <string>

#include "bakkesmod/plugin/PluginSettingsWindow.h"
#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/pluginwindow.h"

namespace sandbox {

class SandboxHost;

inline constexpr int kRequiredApiVersion = 95;

struct PluginRecord {
    int apiVersion = 0;
    std::string className, pluginName, pluginVersion;
    unsigned int pluginType = 0;
};

class PluginLoader {
public:
    explicit PluginLoader(SandboxHost& host) : host_(host) {}
    ~PluginLoader(); // unloads if still loaded

    // Opens the library and reads its record; false with error set when it cannot be used.
    bool open(const std::string& path, std::string& error);
    const PluginRecord& record() const { return record_; }

    // On the game thread: getPlugin, handles filled, onLoad. False when the plug-in gave no object.
    bool load(std::string& error);

    BakkesMod::Plugin::BakkesModPlugin* plugin() const { return plugin_.get(); }
    BakkesMod::Plugin::PluginWindow* window() const { return window_; }
    BakkesMod::Plugin::PluginSettingsWindow* settings() const { return settings_; }

    // Lets HTTP in flight finish, forgets the plug-in's notifiers and hooks,
    // runs deleteMe and drops the object on the game thread, then closes the library.
    void unload();

private:
    SandboxHost& host_;
    void* library_ = nullptr;
    BakkesMod::Plugin::PluginInfo* info_ = nullptr;
    PluginRecord record_;
    std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> plugin_;
    BakkesMod::Plugin::PluginWindow* window_ = nullptr;
    BakkesMod::Plugin::PluginSettingsWindow* settings_ = nullptr;
};

// The Crewfinder library next to the executable, else the one of this build; empty when neither exists.
std::string defaultPluginPath(const std::string& buildPath);

} // namespace sandbox
