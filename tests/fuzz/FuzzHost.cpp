#include "FuzzHost.h"

#include <cstdlib>
#include <string>
#include <vector>

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
        // In memory where there is such a folder: each input is written as a file.
        std::string pattern =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm/crw-fuzz-XXXXXX" : "/tmp/crw-fuzz-XXXXXX";
        std::vector<char> folder(pattern.begin(), pattern.end());
        folder.push_back('\0');
        if (mkdtemp(folder.data()) == nullptr) {
            std::abort();
        }
        e->host.dataDir = folder.data();
        static std::filesystem::path made;
        made = e->host.dataDir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
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
