// A WebSocket text frame from anyone: it is junk, names no player, or claims one; a claim never lists a player
// that nobody registered, nor one registered from another address.
#include "LocalRegistry.h"
#include "Registration.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const std::string payload(reinterpret_cast<const char*>(data), size);
    const crw::server::RegistrationFrame frame = crw::server::parseRegistrationFrame(payload);
    if (frame.kind != crw::server::RegistrationFrame::Claim)
        return 0;
    if (frame.id.empty())
        std::abort();
    crw::server::LocalRegistry registry;
    using Claim = crw::server::Registry::Claim;
    if (registry.claim(frame.id, 1, {}, "127.0.0.1") != Claim::NotPending)
        std::abort();
    Json::Value entry(Json::objectValue);
    entry["Title"] = "t";
    registry.addPending(frame.id, entry, "127.0.0.2");
    if (registry.claim(frame.id, 1, {}, "127.0.0.1") != Claim::TakenElsewhere || registry.listedCount() != 0)
        std::abort();
    if (registry.claim(frame.id, 2, {}, "127.0.0.2") != Claim::Listed || registry.listedCount() != 1)
        std::abort();
    return 0;
}
