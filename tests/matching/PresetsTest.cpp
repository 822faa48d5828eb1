#include <fstream>
#include <set>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include "plugin/Files.h"

#include "MatchingTestUtil.h"

using namespace crwtest;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::set<std::string> namesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(e.path(), folder).string());
    }
    return names;
}

class Presets : public ::testing::Test {
protected:
    CRW& p() { return f.plugin(); }
    fs::path folder() { return p().presetsFolder(); }

    // Loads text as a preset file into settings that start non-empty.
    crw::SearcherSettings loadText(const std::string& text)
    {
        writeFile(folder() / "t.json", text);
        crw::SearcherSettings s = crw::SearcherSettings::fromFixedLists(p().playlists, p().regions, p().languages);
        s.setTitle("old");
        s.voiceChat = 1;
        p().loadPreset(folder() / "t.json", s);
        return s;
    }

    PluginFixture f;
};

} // namespace

TEST_F(Presets, FilterSavedAndLoadedIntoRegisterIsIdentical)
{
    crw::SearcherSettings& filter = p().filterSettings;
    filter.setTitle("Chill \"tryhard\" \\ games");
    filter.playlists[1].enabled = true;
    filter.playlists[1].range = 250;
    filter.playlists[9].enabled = true;
    filter.playlists[9].mmr = "1234.5";
    filter.playlists[9].range = -5;
    filter.regions[3].enabled = true;
    filter.languages[0].enabled = true;
    filter.voiceChat = 2;
    p().savePreset("mine", filter);

    const fs::path path = folder() / "mine.json";
    EXPECT_TRUE(hasLine(f.host().logs(), "Saved preset : " + path.string()));
    const std::string text = readFile(path);
    EXPECT_EQ(text.rfind("{\"title\":\"Chill \\\"tryhard\\\" \\\\ games\",\"playlists\":[{\"name\":\"Ranked-2v2\","
                         "\"id\":11,\"mmr\":\"-1\",\"range\":0,\"enabled\":false},",
                         0),
              0u);
    EXPECT_NE(text.find("\"regions\":[{\"name\":"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 29), "],\"voiceChat_currentImage\":2}");

    crw::SearcherSettings& reg = p().registerSettings;
    p().loadPreset(path, reg);
    EXPECT_TRUE(crw::settingsEqual(reg, filter));
    EXPECT_EQ(reg.titleText(), "Chill \"tryhard\" \\ games");
    ASSERT_EQ(reg.playlists.size(), filter.playlists.size());
    for (std::size_t i = 0; i < reg.playlists.size(); ++i) {
        EXPECT_EQ(reg.playlists[i].mmr, filter.playlists[i].mmr);
    }
}

TEST_F(Presets, HandEditedFilesReadWithDefaults)
{
    auto s = loadText("{\"title\":\"t\",\"playlists\":[{\"name\":\"Hoops\",\"id\":27,\"mmr\":\"1\",\"range\":\"50\","
                      "\"enabled\":\"true\"},{\"range\":\"abc\",\"id\":\"x\",\"enabled\":1},7,\"s\"],"
                      "\"languages\":[{\"name\":\"French\",\"enabled\":true},[]],\"voiceChat_currentImage\":\"2\"}");
    EXPECT_EQ(s.titleText(), "t");
    ASSERT_EQ(s.playlists.size(), 2u);
    EXPECT_EQ(s.playlists[0].name, "Hoops");
    EXPECT_EQ(s.playlists[0].id, 27);
    EXPECT_EQ(s.playlists[0].range, 50);
    EXPECT_TRUE(s.playlists[0].enabled);
    EXPECT_EQ(s.playlists[1].name, "");
    EXPECT_EQ(s.playlists[1].id, 0);
    EXPECT_EQ(s.playlists[1].mmr, "");
    EXPECT_EQ(s.playlists[1].range, 0);
    EXPECT_FALSE(s.playlists[1].enabled);
    EXPECT_TRUE(s.regions.empty()); // key missing
    ASSERT_EQ(s.languages.size(), 1u);
    EXPECT_TRUE(s.languages[0].enabled);
    EXPECT_EQ(s.voiceChat, 0);

    // A number range reads the same as its text; out-of-range voice chat falls back to either.
    s = loadText("{\"playlists\":[{\"range\":50}],\"voiceChat_currentImage\":9}");
    ASSERT_EQ(s.playlists.size(), 1u);
    EXPECT_EQ(s.playlists[0].range, 50);
    EXPECT_EQ(s.voiceChat, 0);

    // A long title is cut to the buffer without splitting a character.
    s = loadText("{\"title\":\"" + std::string(126, 'a') + "é\"}");
    EXPECT_EQ(s.titleText(), std::string(126, 'a'));
}

TEST_F(Presets, UnreadableOrBrokenFilesLeaveTheSettingsAndSaySo)
{
    // Files another program or a hand edit may leave; none may block, eat
    // memory or wipe the form being edited.
    fs::create_directory(folder() / "dir.json");
    writeFile(folder() / "huge.json", "{\"title\":\"" + std::string(2 << 20, 'a') + "\"}");
    std::vector<fs::path> paths{folder() / "dir.json", folder() / "huge.json", folder() / "missing.json"};
#ifndef _WIN32
    const fs::path fifo = folder() / "fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder() / "zero.json");
    paths.push_back(fifo);
    paths.push_back(folder() / "zero.json");
#endif
    for (const std::string& text :
         std::vector<std::string>{"", "not json", "[1,2]", "{\"title\":{}, \"playlists\":{}", std::string(3000, '[')}) {
        const fs::path path = folder() / ("t" + std::to_string(paths.size()) + ".json");
        writeFile(path, text);
        paths.push_back(path);
    }
    for (const auto& path : paths) {
        crw::SearcherSettings s = crw::SearcherSettings::fromFixedLists(p().playlists, p().regions, p().languages);
        s.setTitle("old");
        s.voiceChat = 1;
        f.host().clearRecords();
        EXPECT_FALSE(p().loadPreset(path, s)) << path;
        EXPECT_EQ(s.titleText(), "old") << path;
        EXPECT_EQ(s.playlists.size(), p().playlists.size());
        EXPECT_EQ(s.voiceChat, 1);
        EXPECT_TRUE(hasLineContaining(f.host().logs(), "Preset not loaded")) << path;
        f.host().drainGame(); // toasts reach the game on its own thread
        EXPECT_EQ(f.host().toasts().size(), 1u) << path;
    }
}

TEST_F(Presets, NonAsciiNamesAndDataFolder)
{
    // A data folder and a preset name beyond ASCII, as UTF-8 text.
    PluginFixture g(crwtest::makeTempDir("crw-donn\xc3\xa9"
                                         "es"));
    fs::create_directories(g.plugin().presetsFolder());
    crw::SearcherSettings saved = g.plugin().filterSettings;
    saved.setTitle("caf\xc3\xa9");
    g.plugin().savePreset("soir\xc3\xa9"
                          "e \xe6\x97\xa5",
                          saved);
    const auto entries = g.plugin().listPresets();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].label, "soir\xc3\xa9"
                                "e \xe6\x97\xa5");
    crw::SearcherSettings loaded;
    ASSERT_TRUE(g.plugin().loadPreset(entries[0].path, loaded));
    EXPECT_EQ(loaded.titleText(), "caf\xc3\xa9");
    EXPECT_TRUE(hasLineContaining(g.host().logs(), "Saved preset : " + crw::pathText(entries[0].path)));
    // config.json in the same folder.
    g.plugin().setLanguage(true);
    EXPECT_EQ(readFile(g.dataDir() / "CRW" / "config.json"),
              R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"false", "Language":"French"})");
    fs::remove_all(g.dataDir());
}

TEST_F(Presets, UnsafeNamesAreRefusedAndWriteNothing)
{
    const fs::path root = f.dataDir();
    writeFile(folder() / "keep.json", "{\"title\":\"keep\"}");
    const auto before = namesIn(root);
    for (const std::string& name :
         std::vector<std::string>{"../x", "a/b", "a\\b", "..", "c:d", std::string("a\nb"), std::string("tab\tx")}) {
        f.host().clearRecords();
        p().savePreset(name, p().filterSettings);
        const auto logs = f.host().logs();
        ASSERT_EQ(logs.size(), 1u) << name;
        EXPECT_NE(logs[0].find("not a usable name"), std::string::npos) << logs[0];
    }
    EXPECT_EQ(namesIn(root), before);
    EXPECT_FALSE(fs::exists(root / "CRW" / "x.json"));
    EXPECT_EQ(readFile(folder() / "keep.json"), "{\"title\":\"keep\"}");
}

TEST_F(Presets, AFailedWriteKeepsTheOldPreset)
{
    writeFile(folder() / "keep.json", "{\"title\":\"keep\"}");
#ifndef _WIN32
    // The file is written aside first; here that write fails for want of space.
    fs::create_symlink("/dev/full", folder() / ".keep.json.tmp");
    f.host().clearRecords();
    p().savePreset("keep", p().filterSettings);
    EXPECT_EQ(readFile(folder() / "keep.json"), "{\"title\":\"keep\"}");
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder() / ".keep.json.tmp")));
    const auto logs = f.host().logs();
    EXPECT_FALSE(hasLineContaining(logs, "Saved preset"));
    EXPECT_TRUE(hasLineContaining(logs, "Preset not saved"));
#endif

    // A name the file system refuses fails the same way.
    f.host().clearRecords();
    p().savePreset(std::string(300, 'n'), p().filterSettings);
    EXPECT_TRUE(hasLineContaining(f.host().logs(), "Preset not saved"));
    EXPECT_EQ(namesIn(folder()), std::set<std::string>{"keep.json"});

    // A good save replaces it.
    p().savePreset("keep", p().filterSettings);
    EXPECT_NE(readFile(folder() / "keep.json"), "{\"title\":\"keep\"}");
}

TEST_F(Presets, ListingAndTheFolder)
{
    fs::remove_all(folder());
    EXPECT_TRUE(p().listPresets().empty());

    // Saving creates the missing folder; an empty name is saved as ".json".
    p().savePreset("", p().filterSettings);
    p().savePreset("Ranked 2s", p().filterSettings);
    writeFile(folder() / "notes.txt", "x");
    writeFile(folder() / "v1.2.json", "{}");
    // Only regular files (or links to them) are offered.
    fs::create_directory(folder() / "dir.json");
    std::set<std::pair<std::string, std::string>> expected{
        {".json", ".json"}, {"Ranked 2s", "Ranked 2s.json"}, {"v1.2", "v1.2.json"}};
#ifndef _WIN32
    ASSERT_EQ(mkfifo((folder() / "fifo.json").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder() / "zero.json");
    fs::create_symlink(folder() / "v1.2.json", folder() / "link.json");
    expected.insert({"link", "link.json"});
#endif

    std::set<std::pair<std::string, std::string>> listed;
    for (const auto& e : p().listPresets()) {
        EXPECT_EQ(e.path.parent_path(), folder());
        listed.insert({e.label, e.path.filename().string()});
    }
    EXPECT_EQ(listed, expected);
}

TEST_F(Presets, LinksAreWrittenThroughOnlyToRegularFilesThatExist)
{
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows that neither Wine nor players have";
#endif
    const fs::path elsewhere = crwtest::makeTempDir("crw-elsewhere");
    writeFile(folder() / "keep.json", "{\"title\":\"keep\"}");
    // Links to nothing, as the preset itself and as its aside file: nothing is
    // created where they point, and the preset's link stays.
    fs::create_symlink(elsewhere / "a.json", folder() / "a.json");
    fs::create_symlink(elsewhere / "b.json", folder() / ".b.json.tmp");
    p().savePreset("a", p().filterSettings);
    p().savePreset("b", p().filterSettings);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(folder() / "a.json"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder() / ".b.json.tmp"))); // gone: the next save works

    // A link to a regular file is written through and stays a link.
    writeFile(elsewhere / "c.json", "{}");
    fs::create_symlink(elsewhere / "c.json", folder() / "c.json");
    p().filterSettings.setTitle("linked");
    p().savePreset("c", p().filterSettings);
    EXPECT_TRUE(fs::is_symlink(folder() / "c.json"));
    EXPECT_EQ(readFile(elsewhere / "c.json"), p().buildPresetJson(p().filterSettings));
    fs::remove_all(elsewhere);
}
