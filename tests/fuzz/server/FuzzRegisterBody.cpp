// A /register body from anyone: validation never crashes, and what it accepts is stored as valid list JSON.
#include "LocalRegistry.h"
#include "Registration.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    crw::server::ValidatedRegistration reg = crw::server::validateRegistration(body);
    if (!reg.ok)
        return 0;
    if (reg.idString.empty() || !crw::server::isValidUtf8(reg.idString) || !crw::server::isValidUtf8(reg.name))
        std::abort();
    crw::server::LocalRegistry registry;
    if (registry.addPending(reg.idString, reg.entry, "127.0.0.1") != crw::server::Registry::Register::Pending)
        std::abort();
    if (registry.claim(reg.idString, 1, {}, "127.0.0.1") != crw::server::Registry::Claim::Listed)
        std::abort();
    Json::Value list;
    if (!crw::server::parseJson(*registry.listBody(), list) || list["Searchers"].size() != 1)
        std::abort();
    // The stored entry reads back as a registration the server accepts.
    Json::Value again = list["Searchers"][0];
    again["Type"] = "Register";
    if (!crw::server::validateRegistration(crw::server::toJson(again)).ok)
        std::abort();
    return 0;
}
