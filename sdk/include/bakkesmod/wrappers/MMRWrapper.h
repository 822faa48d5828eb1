#pragma once
#include "bakkesmod/wrappers/UniqueIDWrapper.h"

namespace crwhost {
class HostBackend;
}

class MMRWrapper {
public:
    explicit MMRWrapper(crwhost::HostBackend* backend) : backend_(backend) {}
    float GetPlayerMMR(UniqueIDWrapper playerID, int playlistID);

private:
    crwhost::HostBackend* backend_;
};
