// A plug-in library whose record claims another API version; hosts must refuse it.
#include "bakkesmod/plugin/bakkesmodplugin.h"

namespace {
class OldPlugin : public BakkesMod::Plugin::BakkesModPlugin {};
std::shared_ptr<OldPlugin> g_plugin;
} // namespace

extern "C" BAKKESMOD_PLUGIN_EXPORT std::uintptr_t getPlugin()
{
    if (!g_plugin) {
        g_plugin = std::make_shared<OldPlugin>();
    }
    return reinterpret_cast<std::uintptr_t>(&g_plugin);
}
extern "C" BAKKESMOD_PLUGIN_EXPORT void deleteMe() { g_plugin.reset(); }
extern "C" {
BAKKESMOD_PLUGIN_EXPORT BakkesMod::Plugin::PluginInfo exports = {
    94, __FILE__, "OldPlugin", "Old", "0.1", PLUGINTYPE_FREEPLAY, getPlugin, deleteMe};
}
