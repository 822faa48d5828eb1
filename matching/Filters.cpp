// The structured filter over the received list, and the title keyword.
#include "plugin/Prelude.h"

#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace {

bool playlistsMatch(const std::vector<crw::PlaylistSetting>& wanted, const crw::Searcher& searcher)
{
    if (wanted.empty()) {
        crw::LOG("Filter matches for playlists");
        return true;
    }
    for (const auto& row : wanted) {
        for (const auto& playlist : searcher.playlists) {
            if (row.name == playlist.name) {
                return true;
            }
        }
    }
    crw::LOG("No playlists matches the filters!");
    return false;
}

// Regions and languages: a searcher who chose none was sent as "Any" and suits every selection.
bool namesMatch(const std::vector<crw::NamedFlag>& wanted, const std::vector<std::string>& names, const char* what)
{
    if (wanted.empty()) {
        crw::LOG("Filter matches for {}", what);
        return true;
    }
    for (const auto& name : names) {
        for (const auto& row : wanted) {
            if (name == "Any" || name == row.name) {
                crw::LOG("Filter matches : {}", name);
                return true;
            }
        }
    }
    crw::LOG("No {} matches the filters!", what);
    return false;
}

bool voiceChatMatches(int32_t wanted, const crw::Searcher& searcher)
{
    const std::string text = crw::voiceChatText(wanted);
    if (text == "any" || searcher.voiceChat == "any" || text == searcher.voiceChat) {
        return true;
    }
    crw::LOG("Voice Chat doesn't matches the filters!");
    return false;
}

} // namespace

void CRW::ApplyFilters()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const auto wantedPlaylists = filterSettings.selectedPlaylists();
    const auto wantedRegions = filterSettings.selectedRegions();
    const auto wantedLanguages = filterSettings.selectedLanguages();

    std::vector<crw::Searcher> result;
    for (const auto& searcher : allSearchers) {
        if (playlistsMatch(wantedPlaylists, searcher) && namesMatch(wantedRegions, searcher.regions, "regions") &&
            namesMatch(wantedLanguages, searcher.languages, "languages") &&
            voiceChatMatches(filterSettings.voiceChat, searcher)) {
            result.push_back(searcher);
        }
    }
    searchers = std::move(result);
    ++searchersVersion;
    crw::LOG("Filters applied!");
}

std::string CRW::asciiLower(std::string text)
{
    // Only A to Z fold: other bytes, UTF-8 included, must match as they are.
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool CRW::keywordMatches(const std::string& lowerTitle, const std::string& lowerKeyword)
{
    return lowerKeyword.empty() || lowerTitle.find(lowerKeyword) != std::string::npos;
}
