// The registration body: whatever the title and the player's name, it stays
// one JSON document that gives both back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzHost.h"
#include "matching/JsonRead.h"
#include "plugin/CRW.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crwfuzz::Env& e = crwfuzz::env();
    FuzzedDataProvider in(data, size);
    const uint32_t rows = in.ConsumeIntegral<uint32_t>();
    const int32_t range = in.ConsumeIntegral<int32_t>();
    const int32_t voiceChat = in.ConsumeIntegralInRange<int32_t>(-1, 3);
    e.host.name = in.ConsumeRandomLengthString(256);
    crw::SearcherSettings settings =
        crw::SearcherSettings::fromFixedLists(e.plugin->playlists, e.plugin->regions, e.plugin->languages);
    for (std::size_t i = 0; i < settings.playlists.size(); ++i) {
        settings.playlists[i].enabled = (rows >> i) & 1;
        settings.playlists[i].range = range;
    }
    settings.regions[rows % settings.regions.size()].enabled = (rows >> 12) & 1;
    settings.languages[rows % settings.languages.size()].enabled = (rows >> 13) & 1;
    settings.voiceChat = voiceChat;
    settings.setTitle(in.ConsumeRemainingBytesAsString());

    const std::string body = e.plugin->BuildRegistrationBody(settings);
    Json::Value root;
    if (!crw::matching::parseStrict(body, root) || !root.isObject()) {
        std::abort();
    }
    if (root["Title"].asString() != settings.titleText() || root["Creator"]["Name"].asString() != e.host.name ||
        !root["Playlists"].isArray()) {
        std::abort();
    }
    return 0;
}
