// A library with the entry points but no "exports" record; hosts must refuse it.
#include "bakkesmod/plugin/bakkesmodplugin.h"

namespace {
std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> g_plugin;
} // namespace

extern "C" BAKKESMOD_PLUGIN_EXPORT std::uintptr_t getPlugin()
{
    if (!g_plugin) {
        g_plugin = std::make_shared<BakkesMod::Plugin::BakkesModPlugin>();
    }
    return reinterpret_cast<std::uintptr_t>(&g_plugin);
}
extern "C" BAKKESMOD_PLUGIN_EXPORT void deleteMe() { g_plugin.reset(); }
