// A plug-in that shows one toast the right way and one from a thread of its
// own, as a timer would without Execute; a strict host must stop it.
#include "bakkesmod/plugin/bakkesmodplugin.h"

#include <thread>

namespace {
class OffThreadPlugin : public BakkesMod::Plugin::BakkesModPlugin {
public:
    void onLoad() override
    {
        gameWrapper->Execute([](GameWrapper* game) { game->Toast("Fake", "from the game thread"); });
        std::thread([game = gameWrapper] { game->Toast("Fake", "from a thread of its own"); }).join();
    }
};
} // namespace

BAKKESMOD_PLUGIN(OffThreadPlugin, "OffThread", "0.1", PLUGINTYPE_FREEPLAY)
