#pragma once
// Helpers shared by the matching tests.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "TestHost.h"
#include "plugin/CRW.h"

namespace crwtest {

// Shortened timer intervals for the objects built while it lives.
class IntervalsGuard {
public:
    explicit IntervalsGuard(const crw::Intervals& intervals) { crw::setIntervals(intervals); }
    ~IntervalsGuard() { crw::setIntervals(crw::Intervals{}); }
};

inline std::unique_lock<std::recursive_mutex> lockState(CRW& plugin)
{
    return std::unique_lock<std::recursive_mutex>(plugin.stateMutex);
}

inline std::vector<std::string> creatorNames(const std::vector<crw::Searcher>& list)
{
    std::vector<std::string> names;
    for (const auto& s : list) {
        names.push_back(s.creatorName);
    }
    return names;
}

inline bool hasLine(const std::vector<std::string>& logs, const std::string& line)
{
    return std::find(logs.begin(), logs.end(), line) != logs.end();
}

inline bool hasLineContaining(const std::vector<std::string>& logs, const std::string& text)
{
    return std::any_of(logs.begin(), logs.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// One "/list" element; playlists is the JSON array text.
inline std::string listEntry(const std::string& name, const std::string& playlists,
                             const std::string& regions = "[\"Any\"]", const std::string& voiceChat = "any")
{
    return "{\"Title\":\"title of " + name + "\",\"Creator\":{\"Name\":\"" + name + "\",\"IdString\":\"id-" + name +
           "\"},\"Playlists\":" + playlists + ",\"Regions\":" + regions + ",\"Languages\":[\"Any\"],\"VoiceChat\":\"" +
           voiceChat + "\"}";
}

inline std::string playlist(const std::string& name, const std::string& mmr, const std::string& range)
{
    return "{\"Playlist\":\"" + name + "\",\"MMR\":\"" + mmr + "\",\"Range\":\"" + range + "\"}";
}

inline std::string listAnswer(const std::vector<std::string>& entries)
{
    std::string text = "{\"Searchers\":[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        text += (i ? "," : "") + entries[i];
    }
    return text + "]}";
}

// Delivers a "/list" answer as the completion of the latest request.
inline void deliverList(CRW& plugin, const std::map<std::string, float>& mmr, int code, const std::string& text)
{
    uint64_t seq;
    {
        auto lock = lockState(plugin);
        seq = plugin.listRequestSeq;
    }
    plugin.OnSearchersResult(mmr, code, text, seq);
}

} // namespace crwtest
