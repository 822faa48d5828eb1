#include "FuzzHost.h"

#include <cstdlib>

#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "net/InviteGuard.h"
#include "plugin/CRW.h"

namespace crwfuzz {

int FuzzHost::fnameIndexByString(const std::string& text)
{
    if (text.rfind("invite ", 0) == 0 && !crw::InviteGuard::validId(text.substr(7))) {
        std::abort();
    }
    return 0;
}

Env& env()
{
    static Env* made = [] {
        auto* e = new Env();
        char folder[] = "/tmp/crw-fuzz-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            std::abort();
        }
        e->host.dataDir = folder;
        std::filesystem::create_directories(e->host.dataDir / "CRW" / "presets");
        crwhost::SetHostBackend(&e->host);
        e->plugin = std::make_shared<CRW>();
        e->plugin->cvarManager = std::make_shared<CVarManagerWrapper>(&e->host);
        e->plugin->gameWrapper = std::make_shared<GameWrapper>(&e->host);
        e->plugin->onLoad();
        return e;
    }();
    return *made;
}

} // namespace crwfuzz
