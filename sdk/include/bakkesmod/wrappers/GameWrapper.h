#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "bakkesmod/wrappers/MMRWrapper.h"
#include "bakkesmod/wrappers/UniqueIDWrapper.h"
#include "bakkesmod/wrappers/Engine/UnrealStringWrapper.h"

namespace crwhost {
class HostBackend;
}

class GameWrapper {
public:
    explicit GameWrapper(crwhost::HostBackend* backend);
    // Runs the callback later on the game thread.
    void Execute(std::function<void(GameWrapper*)> theLambda);
    void HookEvent(std::string eventName, std::function<void(std::string eventName)> callback);
    void Toast(std::string title, std::string text, std::string texture = "default", float timeout = 3.5f,
               uint8_t toastType = 0, float width = 290.f, float height = 60.f);
#ifdef __cpp_lib_filesystem
    std::filesystem::path GetDataFolder();
#endif
    UniqueIDWrapper GetUniqueID();
    UnrealStringWrapper GetPlayerName();
    MMRWrapper GetMMRWrapper();
    int GetFNameIndexByString(std::string name);

private:
    crwhost::HostBackend* backend_;
};
