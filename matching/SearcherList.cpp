// The "/list" answer turned into searchers, the MMR visibility test and the
// two searcher lists.
#include "plugin/Prelude.h"

#include <algorithm>
#include <exception>

#include "matching/JsonRead.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

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
            return "range \"" + crw::utf8Prefix(text, 32) + "\" is not a 32-bit integer";
        }
    }
    return "";
}

// Bounds on what the server may make the window draw and keep. Titles match
// the register popup's buffer; names and ids get the same room.
constexpr std::size_t kTitleBytes = crw::kTitleSize - 1;
constexpr std::size_t kNameBytes = crw::kTitleSize - 1;
constexpr std::size_t kShortTextBytes = 32; // MMR texts, voice chat
constexpr std::size_t kListNameBytes = 64;  // one playlist, region or language name
// Twice what one server node carries, so a full node is always listed whole.
constexpr std::size_t kMaxSearchers = 20000;
// Larger answers are not parsed at all: the parsed form takes many times the text. A full node's answer is about
// 3.5 MB.
constexpr std::size_t kListAnswerMaxBytes = 8 * 1024 * 1024;

// Room for every playlist the game has had, and for those newer clients will
// register; a repeat of a name adds nothing.
constexpr std::size_t kMaxPlaylistRows = 32;

} // namespace

std::vector<crw::PlaylistSetting> CRW::ParsePlaylists(const Json::Value& array)
{
    std::vector<crw::PlaylistSetting> rows;
    if (!array.isArray()) {
        return rows;
    }
    Json::ArrayIndex dropped = 0;
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        const Json::Value& element = array[i];
        crw::PlaylistSetting row;
        row.name = crw::utf8Prefix(textOf(member(element, "Playlist")), kListNameBytes);
        if (rows.size() == kMaxPlaylistRows ||
            std::any_of(rows.begin(), rows.end(), [&](const crw::PlaylistSetting& r) { return r.name == row.name; })) {
            ++dropped;
            continue;
        }
        row.mmr = crw::utf8Prefix(textOf(member(element, "MMR")), kShortTextBytes);
        int32_t range = 0;
        row.range = crw::matching::parseInt32Prefix(textOf(member(element, "Range")), range) ? range : 0;
        rows.push_back(std::move(row));
    }
    if (dropped > 0) {
        crw::LOG("{} playlist rows dropped : more than {}, or one already read", dropped, kMaxPlaylistRows);
    }
    return rows;
}

std::vector<std::string> CRW::ParseNameList(const Json::Value& array)
{
    std::vector<std::string> names;
    if (!array.isArray()) {
        return names;
    }
    // No more names than the longest fixed list holds.
    static const std::size_t maxNames = crw::fixedLanguages().size();
    for (Json::ArrayIndex i = 0; i < array.size() && names.size() < maxNames; ++i) {
        names.push_back(crw::utf8Prefix(textOf(array[i]), kListNameBytes));
    }
    return names;
}

crw::Searcher CRW::searcherFromJson(const Json::Value& element)
{
    crw::Searcher searcher;
    const Json::Value& creator = member(element, "Creator");
    searcher.title = crw::utf8Prefix(textOf(member(element, "Title")), kTitleBytes);
    searcher.creatorName = crw::utf8Prefix(textOf(member(creator, "Name")), kNameBytes);
    searcher.creatorIdString = crw::utf8Prefix(textOf(member(creator, "IdString")), kNameBytes);
    searcher.playlists = ParsePlaylists(member(element, "Playlists"));
    searcher.regions = ParseNameList(member(element, "Regions"));
    searcher.languages = ParseNameList(member(element, "Languages"));
    searcher.voiceChat = crw::utf8Prefix(textOf(member(element, "VoiceChat")), kShortTextBytes);
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
            // A playlist newer than this version: the player has no MMR to compare, so this row admits
            // nobody, but the searcher's other rows still count.
            continue;
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

std::string CRW::listAnswerProblem(const std::string& text, Json::Value& root)
{
    root = Json::Value();
    if (text.size() > kListAnswerMaxBytes) {
        return "the answer has " + std::to_string(text.size()) + " bytes, more than " +
               std::to_string(kListAnswerMaxBytes);
    }
    if (!crw::matching::parseStrict(text, root)) {
        return "the answer is not whole JSON (" + std::to_string(text.size()) + " bytes)";
    }
    return "";
}

std::vector<crw::Searcher> CRW::collectVisibleSearchers(const std::string& result,
                                                        const std::map<std::string, float>& userMMRByPlaylist)
{
    std::vector<crw::Searcher> accepted;
    crw::LOG("Searchers : \n{}", crw::logPayload(result));
    Json::Value root;
    const std::string unusable = listAnswerProblem(result, root);
    const Json::Value& list = member(root, "Searchers");
    crw::LOG("----------------------------------");
    if (!unusable.empty()) {
        // A cut answer must not pass for the whole list.
        crw::LOG("Nobody listed : {}", unusable);
        return accepted;
    }
    if (!list.isArray()) {
        if (!list.isNull()) {
            crw::LOG("The list answer's Searchers is not an array");
        } else if (!root.isObject()) {
            crw::LOG("The list answer is not a JSON object");
        }
        return accepted;
    }
    const Json::ArrayIndex count = std::min<Json::ArrayIndex>(list.size(), kMaxSearchers);
    if (count < list.size()) {
        crw::LOG("{} searchers dropped : the list keeps at most {}", list.size() - count, kMaxSearchers);
    }
    // Grown once: freeing the old buffers of a growing list costs more than the list.
    accepted.reserve(count);
    for (Json::ArrayIndex i = 0; i < count; ++i) {
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
            accepted.push_back(std::move(searcher));
        } else if (!reason.empty()) {
            crw::LOG("Searcher {} dropped : {}", searcher.creatorName, reason);
        }
    }
    return accepted;
}

void CRW::OnSearchersResult(std::map<std::string, float> userMMRByPlaylist, int code, std::string result,
                            uint64_t requestSeq)
{
    // Render holds stateMutex for every frame: the lock is taken only to check
    // that this answer is still wanted and to swap in what was built without it.
    auto isStale = [&] {
        if (requestSeq == listRequestSeq) {
            return false;
        }
        // A newer request is in flight and will clear the loading flag; applying
        // this one too would list its searchers twice.
        crw::LOG("Ignored the answer of list request {}, request {} is newer", requestSeq, listRequestSeq);
        return true;
    };
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        if (isStale()) {
            return;
        }
        if (code != 200) {
            isLoadingSearchers = false;
            getSearchersPopup.message = errorText(code, crw::popupText(reportedText(result)));
            getSearchersPopup.open = true;
            return;
        }
    }

    std::vector<crw::Searcher> accepted = collectVisibleSearchers(result, userMMRByPlaylist);
    std::vector<crw::Searcher> shown = accepted;

    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        if (isStale()) {
            return;
        }
        isLoadingSearchers = false;
        // The lists were emptied when the request went out; whatever was put
        // there since is kept in front, as an append would.
        if (!allSearchers.empty()) {
            accepted.insert(accepted.begin(), allSearchers.begin(), allSearchers.end());
            shown = accepted;
        }
        allSearchers.swap(accepted);
        searchers.swap(shown);
        ++searchersVersion;
        clearSearchersTimer.start();
    }
    // The replaced lists (usually empty) are freed here, after the lock.
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
