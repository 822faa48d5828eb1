#pragma once
#include <cstdint>
#include <memory>

#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

#define BAKKESMOD_PLUGIN_API_VERSION 95

#if defined(_WIN32)
#define BAKKESMOD_PLUGIN_EXPORT __declspec(dllexport)
#else
#define BAKKESMOD_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

enum PLUGINTYPE {
    PLUGINTYPE_FREEPLAY = 0x01,
    PLUGINTYPE_CUSTOM_TRAINING = 0x02,
    PLUGINTYPE_SPECTATOR = 0x04,
    PLUGINTYPE_BOTAI = 0x08,
    PLUGINTYPE_REPLAY = 0x10,
    PLUGINTYPE_THREADED = 0x20,
    PLUGINTYPE_THREADEDUNLOAD = 0x40
};

namespace BakkesMod::Plugin {

// The record a host reads from a plug-in library, exported as "exports".
struct PluginInfo {
    int apiBuildVersion;
    const char* fileName;
    const char* className;
    const char* pluginName;
    const char* pluginVersion;
    unsigned int pluginType;
    std::uintptr_t (*initializeFunc)();
    void (*deleteFunc)();
};

class BakkesModPlugin {
public:
    std::shared_ptr<CVarManagerWrapper> cvarManager;
    std::shared_ptr<GameWrapper> gameWrapper;
    virtual void onLoad() {}
    virtual void onUnload() {}
};

} // namespace BakkesMod::Plugin

// Defines the plug-in handle and the three exports a host looks up.
#define BAKKESMOD_PLUGIN(classType, pluginName, pluginVersion, pluginType)                                             \
    static std::shared_ptr<classType> singleton;                                                                       \
    extern "C" BAKKESMOD_PLUGIN_EXPORT std::uintptr_t getPlugin()                                                      \
    {                                                                                                                  \
        if (!singleton) {                                                                                              \
            singleton = std::shared_ptr<classType>(new classType());                                                   \
        }                                                                                                              \
        return reinterpret_cast<std::uintptr_t>(&singleton);                                                           \
    }                                                                                                                  \
    extern "C" BAKKESMOD_PLUGIN_EXPORT void deleteMe()                                                                 \
    {                                                                                                                  \
        if (singleton) {                                                                                               \
            singleton = nullptr;                                                                                       \
        }                                                                                                              \
    }                                                                                                                  \
    extern "C" {                                                                                                       \
    BAKKESMOD_PLUGIN_EXPORT BakkesMod::Plugin::PluginInfo exports = {                                                  \
        BAKKESMOD_PLUGIN_API_VERSION, __FILE__, #classType, pluginName, pluginVersion, pluginType, getPlugin, deleteMe}; \
    }
