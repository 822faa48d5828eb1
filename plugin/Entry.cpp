// The exports a host looks up; compiled into the shared plug-in only.
#include "plugin/Prelude.h"

#include <climits>
#include <cstddef>

#include "plugin/CRW.h"

BAKKESMOD_PLUGIN(CRW, "CRW", "1.0", PLUGINTYPE_FREEPLAY)

// The host reads the record by offset; the SDK's field types differ in width
// between Windows and Linux, so check the layout the host relies on.
using Record = BakkesMod::Plugin::PluginInfo;
static_assert(offsetof(Record, apiBuildVersion) == 0);
static_assert(offsetof(Record, fileName) == 8);
static_assert(offsetof(Record, className) == 16);
static_assert(offsetof(Record, pluginName) == 24);
static_assert(offsetof(Record, pluginVersion) == 32);
static_assert(offsetof(Record, pluginType) == 40);
static_assert(offsetof(Record, initializeFunc) == 48);
static_assert(offsetof(Record, delFunc) == 56);
static_assert(sizeof(Record::apiBuildVersion) <= 4 && BAKKESMOD_PLUGIN_API_VERSION <= SHRT_MAX);
static_assert(sizeof(Record::pluginType) >= 4);
#if defined(_WIN32)
static_assert(sizeof(Record::pluginType) == 4);
#endif
static_assert(sizeof(Record) == 64);
