#include "Demo.h"

#include <fmt/format.h>

#include <array>

namespace crw::server {

namespace {

constexpr std::array<const char*, 12> kFirst = {"Amber",  "Brisk", "Cobalt", "Dusty", "Echo",    "Fuzzy",
                                                "Gilded", "Hazel", "Indigo", "Jolly", "Kinetic", "Lunar"};
constexpr std::array<const char*, 10> kSecond = {"Otter",  "Falcon", "Comet", "Walrus", "Pixel",
                                                 "Badger", "Turbo",  "Nova",  "Pebble", "Sprocket"};
constexpr std::array<const char*, 8> kTitles = {"Chill games, looking for a steady duo",
                                                "Grinding to the next rank, need a calm mate",
                                                "Late night sessions, anyone?",
                                                "Learning rotations, patient players welcome",
                                                "Tournament team forming this weekend",
                                                "Just for fun, no toxicity please",
                                                "Need a third for ranked",
                                                "Practising aerials, join me"};
constexpr std::array<const char*, 10> kPlaylists = {"Ranked-2v2", "Ranked-3v3", "Casual-2v2", "Casual-3v3",
                                                    "Tournament", "Rumble",     "Dropshot",   "Hoops",
                                                    "Snowday",    "Other"};
constexpr std::array<const char*, 11> kRegions = {
    "Europe",           "US-East",       "US-West",     "Asia-SE Mainland",
    "Asia-SE Maritime", "Asia-East",     "Middle-East", "Oceania",
    "South Africa",     "South America", "India"};
constexpr std::array<const char*, 8> kLanguages = {"English",    "French",   "German", "Spanish",
                                                   "Portuguese", "Japanese", "Polish", "Arabic"};
constexpr std::array<const char*, 3> kVoice = {"any", "true", "false"};
constexpr std::array<int, 5> kRanges = {0, 50, 100, 200, 0};

} // namespace

void addDemoSearchers(Registry& registry, unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        const std::string name =
            fmt::format("{}{}{}", kFirst[i % kFirst.size()], kSecond[(i * 7 + 3) % kSecond.size()], 10 + i % 90);
        const std::string id = fmt::format("Demo|{}|0", 1000 + i);

        Json::Value entry(Json::objectValue);
        entry["Title"] = kTitles[i % kTitles.size()];
        entry["Creator"]["Name"] = name;
        entry["Creator"]["IdString"] = id;

        Json::Value& playlists = entry["Playlists"] = Json::Value(Json::arrayValue);
        const unsigned playlistCount = 1 + i % 3;
        for (unsigned p = 0; p < playlistCount; ++p) {
            const std::string playlist = kPlaylists[(i + p * 4) % kPlaylists.size()];
            Json::Value row(Json::objectValue);
            row["Playlist"] = playlist;
            row["MMR"] = playlist == "Other" ? std::string("-1")
                                             : fmt::format("{}.{}", 300 + (i * 173 + p * 311) % 1500, (i + p) % 10);
            row["Range"] = std::to_string(playlist == "Other" ? 0 : kRanges[(i + p) % kRanges.size()]);
            playlists.append(row);
        }

        Json::Value& regions = entry["Regions"] = Json::Value(Json::arrayValue);
        if (i % 4 == 3) {
            regions.append("Any");
        } else {
            regions.append(kRegions[i % kRegions.size()]);
            if (i % 2 == 1)
                regions.append(kRegions[(i + 5) % kRegions.size()]);
        }
        Json::Value& languages = entry["Languages"] = Json::Value(Json::arrayValue);
        if (i % 5 == 4) {
            languages.append("Any");
        } else {
            languages.append(kLanguages[i % kLanguages.size()]);
            if (i % 3 == 0 && i % kLanguages.size() != 0)
                languages.append("English");
        }
        entry["VoiceChat"] = kVoice[i % kVoice.size()];
        registry.addDemo(id, std::move(entry));
    }
}

} // namespace crw::server
