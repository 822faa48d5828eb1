// A /RequestInvite body from anyone: parsing never crashes, and the frame built from it is one valid JSON object
// that starts with the bytes the plug-in looks for.
#include "Registration.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    const crw::server::InviteRequest invite = crw::server::parseInviteRequest(body);
    if (!invite.ok)
        return 0;
    const std::string frame = crw::server::inviteNotification(invite.userId, invite.userName);
    Json::Value root;
    if (frame.rfind("{\"type\":\"InviteNotification\",\"IdString\":", 0) != 0 || !crw::server::parseJson(frame, root) ||
        root["IdString"].asString() != invite.userId || root["Name"].asString() != invite.userName)
        std::abort();
    return 0;
}
