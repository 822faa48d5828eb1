#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "TestHost.h"
#include "bakkesmod/wrappers/ImageWrapper.h"
#include "plugin/CRW.h"

using crwtest::PluginFixture;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// A data folder whose CRW/config.json holds the given text (or none).
fs::path dataDirWith(const std::string* config)
{
    auto dir = crwtest::makeTempDir("crw-config");
    fs::create_directories(dir / "CRW");
    if (config) {
        writeFile(dir / "CRW" / "config.json", *config);
    }
    return dir;
}

struct Loaded {
    bool seen;
    std::string language;
    std::string file;
};

Loaded loadWith(const std::string* config)
{
    auto dir = dataDirWith(config);
    Loaded out;
    {
        PluginFixture f(dir);
        std::lock_guard<std::recursive_mutex> lock(f.plugin().stateMutex);
        out.seen = f.plugin().HasSeeNewUpdateAlert;
        out.language = f.plugin().texts.languageName;
    }
    out.file = readFile(dir / "CRW" / "config.json");
    fs::remove_all(dir);
    return out;
}

const std::string kDefaults = R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"English"})";

} // namespace

TEST(Config, FirstRunWritesDefaultsAndStillShowsTheNotice)
{
    auto dir = dataDirWith(nullptr);
    {
        PluginFixture f(dir);
        EXPECT_FALSE(f.plugin().HasSeeNewUpdateAlert);
        EXPECT_EQ(readFile(dir / "CRW" / "config.json"), kDefaults);
        auto logs = f.host().logs();
        EXPECT_NE(std::find(logs.begin(), logs.end(), "Saved config !"), logs.end());
        EXPECT_EQ(f.plugin().dataFolder, dir / "CRW");
        EXPECT_EQ(f.plugin().registerSettings.playlists.size(), 10u);
        EXPECT_EQ(f.plugin().filterSettings.languages.size(), 36u);
    }
    // Closed before "OK": the next start finds "true" with this version and shows nothing.
    {
        PluginFixture f(dir);
        EXPECT_TRUE(f.plugin().HasSeeNewUpdateAlert);
    }
    fs::remove_all(dir);
}

TEST(Config, NoticeAndLanguageFromFile)
{
    struct Case {
        std::string text;
        bool seen;
        std::string language;
    } cases[] = {
        {kDefaults, true, "English"},
        {R"({"PluginVersion":"0.9", "HasSeeNewUpdateAlert":"true", "Language":"English"})", false, "English"},
        {R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":true, "Language":"French"})", true, "French"},
        {R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"false", "Language":"french"})", false, "English"},
        {R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true"})", true, "English"},
        {"", false, "English"},
        {"not json at all {", false, "English"},
        // Comments are allowed.
        {"// saved by hand\n" + kDefaults, true, "English"},
        // Hostile shapes read as missing members, without throwing.
        {R"(["PluginVersion", "1.0"])", false, "English"},
        {"42", false, "English"},
        {R"({"PluginVersion":1.0, "HasSeeNewUpdateAlert":{"a":1}, "Language":["French"]})", false, "English"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto loaded = loadWith(&c.text);
        EXPECT_EQ(loaded.seen, c.seen);
        EXPECT_EQ(loaded.language, c.language);
        // An existing file is never rewritten at load.
        EXPECT_EQ(loaded.file, c.text);
    }
}

TEST(Config, SaveWritesCurrentFlagAndLanguage)
{
    auto dir = dataDirWith(&kDefaults);
    {
        PluginFixture f(dir);
        f.plugin().setLanguage(true);
        EXPECT_EQ(f.plugin().texts.filter, "Filtrer");
        EXPECT_EQ(readFile(dir / "CRW" / "config.json"),
                  R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"French"})");
        // The language never touches the fixed names.
        EXPECT_EQ(f.plugin().playlists[0].name, "Ranked-2v2");
        EXPECT_EQ(f.plugin().registerSettings.regions[0].name, "Europe");
        f.plugin().HasSeeNewUpdateAlert = false;
        f.plugin().setLanguage(false);
        EXPECT_EQ(readFile(dir / "CRW" / "config.json"),
                  R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"false", "Language":"English"})");
    }
    fs::remove_all(dir);
}

TEST(Config, FailedSaveSaysSoAndNamesThePath)
{
    auto dir = crwtest::makeTempDir("crw-config"); // no CRW folder: the file cannot be opened
    {
        PluginFixture f(dir);
        auto logs = f.host().logs();
        EXPECT_EQ(std::find(logs.begin(), logs.end(), "Saved config !"), logs.end());
        bool named = false;
        for (const auto& l : logs) {
            named = named || l.find((dir / "CRW" / "config.json").string()) != std::string::npos;
        }
        EXPECT_TRUE(named);
        EXPECT_FALSE(fs::exists(dir / "CRW" / "config.json"));
    }
    fs::remove_all(dir);
}

TEST(Config, HostileFilesNeitherHangNorGetOverwritten)
{
    std::string deep;
    for (int i = 0; i < 1001; ++i) {
        deep += "{\"a\":";
    }
    deep += "1" + std::string(1001, '}');
    const std::string big = "{\"Language\":\"French\", \"pad\":\"" + std::string(100 * 1024, ' ') + "\"}";
    // Each case lays CRW/config.json out its own way.
    std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases{
        {"deep", [&](const fs::path& p) { writeFile(p, deep); }},
        {"big", [&](const fs::path& p) { writeFile(p, big); }},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }},
    };
#ifndef _WIN32
    cases.push_back({"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }});
    cases.push_back({"zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }});
    cases.push_back({"unreadable", [](const fs::path& p) {
                         writeFile(p, R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"French"})");
                         fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write);
                     }});
#endif
    for (const auto& [name, lay] : cases) {
        SCOPED_TRACE(name);
        auto dir = dataDirWith(nullptr);
        const fs::path file = dir / "CRW" / "config.json";
        lay(file);
        const auto typeBefore = fs::symlink_status(file).type();
        const std::string before = fs::is_regular_file(file) ? readFile(file) : "";
#ifndef _WIN32
        // Root reads anything: the unreadable case runs as nobody.
        const bool drop = name == "unreadable" && geteuid() == 0;
        ASSERT_TRUE(!drop || seteuid(65534) == 0);
#endif
        {
            PluginFixture f(dir);
            EXPECT_FALSE(f.plugin().HasSeeNewUpdateAlert);
            EXPECT_EQ(f.plugin().texts.languageName, "English");
            const auto logs = f.host().logs();
            if (name != "deep") {
                EXPECT_TRUE(std::any_of(logs.begin(), logs.end(),
                                        [](const std::string& l) { return l.rfind("Config not read", 0) == 0; }));
            }
            if (name == "fifo" || name == "zero") {
                f.plugin().setLanguage(true); // must not wait for a reader, nor write to the device
            }
        }
#ifndef _WIN32
        ASSERT_TRUE(!drop || seteuid(0) == 0);
#endif
        EXPECT_EQ(fs::symlink_status(file).type(), typeBefore);
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(readFile(file), before);
        }
        fs::remove_all(dir);
    }
}

TEST(Config, ImagesAreHandedToTheHostInOrder)
{
    PluginFixture f;
    CRW& p = f.plugin();
    ASSERT_TRUE(p.refreshImage);
    ASSERT_EQ(p.playlistImages.size(), 10u);
    for (const auto& images : p.playlistImages) {
        EXPECT_TRUE(images.image);
        EXPECT_TRUE(images.greyedImage);
    }
    ASSERT_EQ(p.voiceChatImages.size(), 3u);
    EXPECT_EQ(p.voiceChatImages[0], p.voiceChatAnyImage);
    EXPECT_EQ(p.voiceChatImages[1], p.voiceChatOnImage);
    EXPECT_EQ(p.voiceChatImages[2], p.voiceChatOffImage);
    // No image files in this data folder: nothing counts as loaded.
    EXPECT_EQ(p.refreshImage->GetImGuiTex(), nullptr);
}

TEST(Config, CommittedImagesMatchTheNamesThePluginLoads)
{
    auto dir = crwtest::makeTempDir("crw-images");
    fs::create_directories(dir / "CRW");
    fs::copy(CRW_ASSETS_DIR "/images", dir / "CRW" / "images", fs::copy_options::recursive);
    {
        PluginFixture f(dir);
        CRW& p = f.plugin();
        EXPECT_NE(p.refreshImage->GetImGuiTex(), nullptr);
        for (const auto& images : p.playlistImages) {
            EXPECT_NE(images.image->GetImGuiTex(), nullptr);
            EXPECT_NE(images.greyedImage->GetImGuiTex(), nullptr);
        }
        for (const auto& image : p.voiceChatImages) {
            EXPECT_NE(image->GetImGuiTex(), nullptr);
        }
    }
    fs::remove_all(dir);
}

TEST(Config, LinkIsFollowedOnlyToARegularFileThatExists)
{
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows that neither Wine nor players have";
#endif
    auto dir = dataDirWith(nullptr);
    auto elsewhere = crwtest::makeTempDir("crw-elsewhere");
    const fs::path file = dir / "CRW" / "config.json";
    // A link to nothing: the start neither creates its target nor replaces the link.
    fs::create_symlink(elsewhere / "config.json", file);
    {
        PluginFixture f(dir);
        EXPECT_FALSE(f.plugin().HasSeeNewUpdateAlert);
        f.plugin().setLanguage(true);
    }
    EXPECT_FALSE(fs::exists(elsewhere / "config.json"));
    EXPECT_TRUE(fs::is_symlink(file));

    // A link to a regular file is read and written through.
    writeFile(elsewhere / "config.json", R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"French"})");
    {
        PluginFixture f(dir);
        EXPECT_TRUE(f.plugin().HasSeeNewUpdateAlert);
        EXPECT_EQ(f.plugin().texts.languageName, "French");
        f.plugin().setLanguage(false);
    }
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(readFile(elsewhere / "config.json"),
              R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"English"})");
    fs::remove_all(dir);
    fs::remove_all(elsewhere);
}
