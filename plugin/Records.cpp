#include "plugin/Prelude.h"

#include "plugin/Records.h"

#include <algorithm>
#include <cstring>

namespace crw {

bool operator==(const Searcher& a, const Searcher& b)
{
    return a.title == b.title && a.creatorName == b.creatorName && a.creatorIdString == b.creatorIdString &&
           a.voiceChat == b.voiceChat && a.regions == b.regions && a.languages == b.languages;
}

SearcherSettings SearcherSettings::fromFixedLists(const std::vector<PlaylistSetting>& playlists,
                                                  const std::vector<NamedFlag>& regions,
                                                  const std::vector<NamedFlag>& languages)
{
    SearcherSettings s;
    s.playlists = playlists;
    s.regions = regions;
    s.languages = languages;
    return s;
}

std::string SearcherSettings::titleText() const { return std::string(title, strnlen(title, kTitleSize)); }

void SearcherSettings::setTitle(const std::string& text)
{
    std::size_t n = std::min(text.size(), kTitleSize - 1);
    // Step back over UTF-8 continuation bytes so a character is never split.
    if (n < text.size()) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;
        }
    }
    std::memset(title, 0, kTitleSize);
    std::memcpy(title, text.data(), n);
}

std::vector<PlaylistSetting> SearcherSettings::selectedPlaylists() const
{
    std::vector<PlaylistSetting> out;
    std::copy_if(playlists.begin(), playlists.end(), std::back_inserter(out), [](const auto& p) { return p.enabled; });
    return out;
}

std::vector<NamedFlag> SearcherSettings::selectedRegions() const
{
    std::vector<NamedFlag> out;
    std::copy_if(regions.begin(), regions.end(), std::back_inserter(out), [](const auto& f) { return f.enabled; });
    return out;
}

std::vector<NamedFlag> SearcherSettings::selectedLanguages() const
{
    std::vector<NamedFlag> out;
    std::copy_if(languages.begin(), languages.end(), std::back_inserter(out), [](const auto& f) { return f.enabled; });
    return out;
}

void resetSettings(SearcherSettings& settings)
{
    std::memset(settings.title, 0, kTitleSize);
    for (auto& p : settings.playlists) {
        p.range = 0;
        p.enabled = false;
    }
    for (auto& f : settings.regions) {
        f.enabled = false;
    }
    for (auto& f : settings.languages) {
        f.enabled = false;
    }
    settings.voiceChat = 0;
}

bool settingsEqual(const SearcherSettings& a, const SearcherSettings& b)
{
    if (a.titleText() != b.titleText() || a.voiceChat != b.voiceChat) {
        return false;
    }
    if (a.playlists.size() != b.playlists.size() || a.regions.size() != b.regions.size() ||
        a.languages.size() != b.languages.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.playlists.size(); ++i) {
        const auto& x = a.playlists[i];
        const auto& y = b.playlists[i];
        if (x.name != y.name || x.id != y.id || x.range != y.range || x.enabled != y.enabled) {
            return false;
        }
    }
    auto flagsEqual = [](const std::vector<NamedFlag>& x, const std::vector<NamedFlag>& y) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (x[i].name != y[i].name || x[i].enabled != y[i].enabled) {
                return false;
            }
        }
        return true;
    };
    return flagsEqual(a.regions, b.regions) && flagsEqual(a.languages, b.languages);
}

std::string voiceChatText(int32_t value)
{
    switch (value) {
    case 0:
        return "any";
    case 1:
        return "true";
    case 2:
        return "false";
    default:
        return "";
    }
}

} // namespace crw
