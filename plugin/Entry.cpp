// The exports a host looks up; compiled into the shared plug-in only.
#include "plugin/CRW.h"

BAKKESMOD_PLUGIN(CRW, "CRW", "1.0", PLUGINTYPE_FREEPLAY)

static_assert(offsetof(BakkesMod::Plugin::PluginInfo, apiBuildVersion) == 0);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, fileName) == 8);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, className) == 16);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, pluginName) == 24);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, pluginVersion) == 32);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, pluginType) == 40);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, initializeFunc) == 48);
static_assert(offsetof(BakkesMod::Plugin::PluginInfo, deleteFunc) == 56);
static_assert(sizeof(BakkesMod::Plugin::PluginInfo::apiBuildVersion) == 4);
static_assert(sizeof(BakkesMod::Plugin::PluginInfo::pluginType) == 4);
static_assert(sizeof(BakkesMod::Plugin::PluginInfo) == 64);
