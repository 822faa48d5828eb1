// Preset loading, through a file in the presets folder; what loads fits the
// editor and saves back to the same settings.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FuzzHost.h"
#include "plugin/CRW.h"

namespace {

bool same(const crw::SearcherSettings& a, const crw::SearcherSettings& b)
{
    if (a.titleText() != b.titleText() || a.voiceChat != b.voiceChat || a.playlists.size() != b.playlists.size() ||
        a.regions.size() != b.regions.size() || a.languages.size() != b.languages.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.playlists.size(); ++i) {
        const auto &x = a.playlists[i], &y = b.playlists[i];
        if (x.name != y.name || x.id != y.id || x.mmr != y.mmr || x.range != y.range || x.enabled != y.enabled) {
            return false;
        }
    }
    auto sameFlags = [](const std::vector<crw::NamedFlag>& x, const std::vector<crw::NamedFlag>& y) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (x[i].name != y[i].name || x[i].enabled != y[i].enabled) {
                return false;
            }
        }
        return true;
    };
    return sameFlags(a.regions, b.regions) && sameFlags(a.languages, b.languages);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crwfuzz::Env& e = crwfuzz::env();
    const auto path = e.host.dataDir / "CRW" / "presets" / "fuzz.json";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    crw::SearcherSettings settings;
    settings.setTitle("unchanged");
    if (!e.plugin->loadPreset(path, settings)) {
        if (settings.titleText() != "unchanged") {
            std::abort();
        }
        return 0;
    }
    if (settings.playlists.size() > 10 || settings.regions.size() > 11 || settings.languages.size() > 36 ||
        settings.voiceChat < 0 || settings.voiceChat > 2) {
        std::abort();
    }
    crw::SearcherSettings again;
    std::string why;
    if (!CRW::presetFromText(e.plugin->buildPresetJson(settings), again, why) || !same(settings, again)) {
        std::abort();
    }
    return 0;
}
