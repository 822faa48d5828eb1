// The "/list" answer turned into searchers, the MMR visibility test and the
// two searcher lists.
#include "plugin/Prelude.h"

#include <exception>

#include "matching/JsonRead.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

using crw::matching::member;
using crw::matching::textOf;

namespace {

// Why an entry of the answer cannot be used, or empty when it can. The range
// has to be checked on the JSON: once read into an int, "abc" and "0" look alike.
std::string entryProblem(const Json::Value& element)
{
    if (!element.isObject()) {
        return "the entry is not an object";
    }
    const Json::Value& playlists = member(element, "Playlists");
    if (!playlists.isArray()) {
        return "";
    }
    for (Json::ArrayIndex i = 0; i < playlists.size(); ++i) {
        int32_t range = 0;
        const std::string text = textOf(member(playlists[i], "Range"));
        if (!crw::matching::parseInt32Prefix(text, range)) {
            return "range \"" + text + "\" is not a 32-bit integer";
        }
    }
    return "";
}

} // namespace

std::vector<crw::PlaylistSetting> CRW::ParsePlaylists(const Json::Value& array)
{
    std::vector<crw::PlaylistSetting> rows;
    if (!array.isArray()) {
        return rows;
    }
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        const Json::Value& element = array[i];
        crw::PlaylistSetting row;
        row.name = textOf(member(element, "Playlist"));
        row.mmr = textOf(member(element, "MMR"));
        int32_t range = 0;
        row.range = crw::matching::parseInt32Prefix(textOf(member(element, "Range")), range) ? range : 0;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> CRW::ParseNameList(const Json::Value& array)
{
    std::vector<std::string> names;
    if (!array.isArray()) {
        return names;
    }
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        names.push_back(textOf(array[i]));
    }
    return names;
}

crw::Searcher CRW::searcherFromJson(const Json::Value& element)
{
    crw::Searcher searcher;
    const Json::Value& creator = member(element, "Creator");
    searcher.title = textOf(member(element, "Title"));
    searcher.creatorName = textOf(member(creator, "Name"));
    searcher.creatorIdString = textOf(member(creator, "IdString"));
    searcher.playlists = ParsePlaylists(member(element, "Playlists"));
    searcher.regions = ParseNameList(member(element, "Regions"));
    searcher.languages = ParseNameList(member(element, "Languages"));
    searcher.voiceChat = textOf(member(element, "VoiceChat"));
    return searcher;
}

bool CRW::isSearcherVisible(const crw::Searcher& searcher, const std::map<std::string, float>& userMMR,
                            std::string* reason)
{
    for (const auto& playlist : searcher.playlists) {
        crw::LOG("{} : {}", playlist.name, playlist.mmr);
        if (playlist.range == 0 || playlist.name == "Other") {
            crw::LOG("No range for this playlist or playlist is Other, searcher is fine !");
            return true;
        }
        auto user = userMMR.find(playlist.name);
        if (user == userMMR.end()) {
            if (reason) {
                *reason = "unknown playlist \"" + playlist.name + "\" with a range";
            }
            return false;
        }
        float searcherMMR = 0.f;
        if (!crw::matching::parseFloatPrefix(playlist.mmr, searcherMMR)) {
            if (reason) {
                *reason = "MMR \"" + playlist.mmr + "\" is not a number";
            }
            return false;
        }
        const float u = user->second;
        crw::LOG("userPlaylistMMR : {} | searcherPlaylistMMR : {}", u, searcherMMR);
        const float r = static_cast<float>(playlist.range);
        // Both bounds included; NaN on either side fails both tests.
        const float low = searcherMMR - r;
        const float high = r + searcherMMR;
        if (low <= u && u <= high) {
            crw::LOG("User is in at least in one searcher playlist range !");
            return true;
        }
    }
    return false;
}

void CRW::OnSearchersResult(std::map<std::string, float> userMMRByPlaylist, int code, std::string result,
                            uint64_t requestSeq)
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (requestSeq != listRequestSeq) {
        // A newer request is in flight and will clear the loading flag; applying
        // this one too would list its searchers twice.
        crw::LOG("Ignored the answer of list request {}, request {} is newer", requestSeq, listRequestSeq);
        return;
    }
    isLoadingSearchers = false;

    if (code != 200) {
        getSearchersPopup.message = errorText(code, reportedText(result));
        getSearchersPopup.open = true;
        return;
    }

    crw::LOG("Searchers : \n{}", result);
    const Json::Value root = crw::matching::parseLenient(result);
    const Json::Value& list = member(root, "Searchers");
    crw::LOG("----------------------------------");
    if (!list.isArray()) {
        if (!list.isNull()) {
            crw::LOG("The list answer's Searchers is not an array");
        } else if (!root.isObject()) {
            crw::LOG("The list answer is not a JSON object");
        }
    } else {
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            const Json::Value& element = list[i];
            const std::string problem = entryProblem(element);
            if (!problem.empty()) {
                crw::LOG("Searcher #{} dropped : {}", i, problem);
                continue;
            }
            crw::Searcher searcher = searcherFromJson(element);
            crw::LOG("--------------------------------------");
            crw::LOG("Name : {}", searcher.creatorName);
            crw::LOG("idString : {}", searcher.creatorIdString);
            crw::LOG("Playlists :");
            std::string reason;
            if (isSearcherVisible(searcher, userMMRByPlaylist, &reason)) {
                crw::LOG("--------------------------------------");
                allSearchers.push_back(std::move(searcher));
            } else if (!reason.empty()) {
                crw::LOG("Searcher {} dropped : {}", searcher.creatorName, reason);
            }
        }
    }

    searchers = allSearchers;
    ++searchersVersion;
    clearSearchersTimer.start();
}

void CRW::ClearSearchers()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    allSearchers.clear();
    searchers.clear();
    ++searchersVersion;
    crw::LOG("Timer : Cleared Searchers");
}

crw::PlaylistImages CRW::imagesForPlaylist(const std::string& name) const
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    for (std::size_t i = 0; i < playlists.size() && i < playlistImages.size(); ++i) {
        if (playlists[i].name == name) {
            return playlistImages[i];
        }
    }
    return {};
}
