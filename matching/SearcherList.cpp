// The "/list" answer turned into searchers, the MMR visibility test and the
// two searcher lists.
#include "plugin/Prelude.h"

#include <algorithm>
#include <exception>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "matching/JsonRead.h"
#include "matching/JsonStream.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

using crw::matching::JsonStream;

namespace {

using crw::matching::JsonStream;

// Bounds on what the server may make the window draw and keep. Titles match
// the register popup's buffer; names and ids get the same room.
constexpr std::size_t kTitleBytes = crw::kTitleSize - 1;
constexpr std::size_t kNameBytes = crw::kTitleSize - 1;
constexpr std::size_t kShortTextBytes = 32; // MMR texts, voice chat
constexpr std::size_t kListNameBytes = 64;  // one playlist, region or language name
// Twice what one server node carries, so a full node is always listed whole.
constexpr std::size_t kMaxSearchers = 20000;
// Larger answers are not read at all. A full node's answer is about 3.5 MB.
constexpr std::size_t kListAnswerMaxBytes = 8 * 1024 * 1024;

// glibc keeps the pages a thread's arena freed; a refresh frees the previous
// lists (tens of MB at most) at once, so hand them back to the system.
void returnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Entries of one answer that could not be used, logged as one line.
struct Rejected {
    std::size_t count = 0;
    std::size_t firstIndex = 0;
    std::string firstReason;

    void add(std::size_t index, std::string reason)
    {
        if (count++ == 0) {
            firstIndex = index;
            firstReason = std::move(reason);
        }
    }
};

} // namespace

std::vector<crw::PlaylistSetting> CRW::ParsePlaylists(JsonStream& json, std::string& problem, std::size_t& dropped)
{
    std::vector<crw::PlaylistSetting> rows;
    dropped = 0;
    if (json.peek() != '[') {
        json.skipValue();
        return rows;
    }
    std::string name;
    std::string mmr;
    std::string rangeText;
    std::string key;
    json.beginArray();
    while (json.nextElement()) {
        name.clear();
        mmr.clear();
        rangeText.clear();
        if (json.peek() == '{') {
            json.beginObject();
            while (json.nextKey(key)) {
                if (key == "Playlist") {
                    json.readText(name, kListNameBytes);
                } else if (key == "MMR") {
                    json.readText(mmr, kShortTextBytes);
                } else if (key == "Range") {
                    // Whole: once read into an int, "abc" and "0" look alike.
                    json.readText(rangeText, std::string::npos);
                } else {
                    json.skipValue();
                }
            }
        } else {
            json.skipValue();
        }
        int32_t range = 0;
        if (!crw::matching::parseInt32Prefix(rangeText, range) && problem.empty()) {
            problem = "range \"" + crw::utf8Prefix(rangeText, 32) + "\" is not a 32-bit integer";
        }
        if (rows.size() == kMaxPlaylistRows ||
            std::any_of(rows.begin(), rows.end(), [&](const crw::PlaylistSetting& r) { return r.name == name; })) {
            ++dropped;
            continue;
        }
        crw::PlaylistSetting row;
        row.name = name;
        row.mmr = mmr;
        row.range = range;
        rows.push_back(std::move(row));
    }
    // Kept for up to a minute, twice: no room left over from growing.
    rows.shrink_to_fit();
    return rows;
}

std::vector<std::string> CRW::ParseNameList(JsonStream& json)
{
    std::vector<std::string> names;
    if (json.peek() != '[') {
        json.skipValue();
        return names;
    }
    // No more names than the longest fixed list holds.
    static const std::size_t maxNames = crw::fixedLanguages().size();
    json.beginArray();
    while (json.nextElement()) {
        if (names.size() < maxNames) {
            names.emplace_back();
            json.readText(names.back(), kListNameBytes);
        } else {
            json.skipValue();
        }
    }
    names.shrink_to_fit();
    return names;
}

crw::Searcher CRW::readSearcher(JsonStream& json, std::string& problem, std::size_t& droppedRows)
{
    crw::Searcher searcher;
    droppedRows = 0;
    if (json.peek() != '{') {
        problem = "the entry is not an object";
        json.skipValue();
        return searcher;
    }
    // A repeated key replaces what the earlier one gave, as in a JSON tree.
    std::string key;
    json.beginObject();
    while (json.nextKey(key)) {
        if (key == "Title") {
            json.readText(searcher.title, kTitleBytes);
        } else if (key == "Creator") {
            searcher.creatorName.clear();
            searcher.creatorIdString.clear();
            if (json.peek() != '{') {
                json.skipValue();
                continue;
            }
            json.beginObject();
            while (json.nextKey(key)) {
                if (key == "Name") {
                    json.readText(searcher.creatorName, kNameBytes);
                } else if (key == "IdString") {
                    json.readText(searcher.creatorIdString, kNameBytes);
                } else {
                    json.skipValue();
                }
            }
        } else if (key == "Playlists") {
            problem.clear();
            searcher.playlists = ParsePlaylists(json, problem, droppedRows);
        } else if (key == "Regions") {
            searcher.regions = ParseNameList(json);
        } else if (key == "Languages") {
            searcher.languages = ParseNameList(json);
        } else if (key == "VoiceChat") {
            json.readText(searcher.voiceChat, kShortTextBytes);
        } else {
            json.skipValue();
        }
    }
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

std::vector<crw::Searcher> CRW::collectVisibleSearchers(const std::string& result,
                                                        const std::map<std::string, float>& userMMRByPlaylist)
{
    std::vector<crw::Searcher> accepted;
    crw::LOG("Searchers : \n{}", crw::logPayload(result));
    std::string unusable;
    if (result.size() > kListAnswerMaxBytes) {
        unusable = "the answer has " + std::to_string(result.size()) + " bytes, more than " +
                   std::to_string(kListAnswerMaxBytes);
    } else if (!crw::matching::isWholeJson(result)) {
        unusable = "the answer is not whole JSON (" + std::to_string(result.size()) + " bytes)";
    }
    crw::LOG("----------------------------------");
    if (!unusable.empty()) {
        // A cut answer must not pass for the whole list.
        crw::LOG("Nobody listed : {}", unusable);
        return accepted;
    }
    // Read entry by entry: what is kept bounds the memory, not what was sent.
    JsonStream json(result);
    if (json.peek() != '{') {
        crw::LOG("The list answer is not a JSON object");
        return accepted;
    }
    Rejected rejected;
    std::size_t overCap = 0;
    std::string key;
    std::string problem;
    json.beginObject();
    while (json.nextKey(key)) {
        if (key != "Searchers") {
            json.skipValue();
            continue;
        }
        // A repeated key replaces the earlier list, as in a JSON tree.
        accepted.clear();
        rejected = Rejected();
        overCap = 0;
        if (json.peek() != '[') {
            if (json.peek() != 'n') {
                crw::LOG("The list answer's Searchers is not an array");
            }
            json.skipValue();
            continue;
        }
        json.beginArray();
        for (std::size_t index = 0; json.nextElement(); ++index) {
            if (index >= kMaxSearchers) {
                ++overCap;
                json.skipValue();
                continue;
            }
            problem.clear();
            std::size_t droppedRows = 0;
            crw::Searcher searcher = readSearcher(json, problem, droppedRows);
            if (!problem.empty()) {
                rejected.add(index, problem);
                continue;
            }
            if (droppedRows > 0) {
                crw::LOG("{} playlist rows dropped : more than {}, or one already read", droppedRows,
                         kMaxPlaylistRows);
            }
            crw::LOG("--------------------------------------");
            crw::LOG("Name : {}", searcher.creatorName);
            crw::LOG("idString : {}", searcher.creatorIdString);
            crw::LOG("Playlists :");
            if (isSearcherVisible(searcher, userMMRByPlaylist, &problem)) {
                crw::LOG("--------------------------------------");
                accepted.push_back(std::move(searcher));
            } else if (!problem.empty()) {
                rejected.add(index, problem);
            }
        }
    }
    if (!json.ok()) {
        // A number or escape JsonCpp would refuse, met only while reading.
        crw::LOG("Nobody listed : the answer is not whole JSON ({} bytes)", result.size());
        return {};
    }
    if (overCap > 0) {
        crw::LOG("{} searchers dropped : the list keeps at most {}", overCap, kMaxSearchers);
    }
    if (rejected.count > 0) {
        crw::LOG("{} searchers dropped, the first (#{}) because {}", rejected.count, rejected.firstIndex,
                 rejected.firstReason);
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
    accepted = {};
    shown = {};
    returnFreedMemory();
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
