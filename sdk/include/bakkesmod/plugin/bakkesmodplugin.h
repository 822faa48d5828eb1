#pragma once
#include <cstdint>
#include <memory>

#include "bakkesmod/plugin/bakkesmodsdk.h"
#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

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
// The type field is an unsigned long: 4 bytes on 64-bit Windows, 8 on
// 64-bit Linux, where its low 4 bytes sit at the same offset.
struct PluginInfo {
    short apiBuildVersion;
    const char* fileName;
    const char* className;
    const char* pluginName;
    const char* pluginVersion;
    unsigned long pluginType;
    std::uintptr_t (*initializeFunc)();
    void (*delFunc)();
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
    BAKKESMOD_PLUGIN_EXPORT BakkesMod::Plugin::PluginInfo exports = {BAKKESMOD_PLUGIN_API_VERSION,                     \
                                                                     __FILE__,                                         \
                                                                     #classType,                                       \
                                                                     pluginName,                                       \
                                                                     pluginVersion,                                    \
                                                                     pluginType,                                       \
                                                                     getPlugin,                                        \
                                                                     deleteMe};                                        \
    }
