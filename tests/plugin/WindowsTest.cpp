// What only Windows does differently: names reach the system as UTF-16, and
// a file another program holds open may refuse to be written.
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "TestHost.h"
#include "plugin/CRW.h"
#include "plugin/Files.h"
#include "ui/Links.h"
#include "ui/Widgets.h"

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

// Asks the system itself, by the UTF-16 name, whether the file is there.
bool existsAsWide(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool hasLine(const std::vector<std::string>& logs, const std::string& text)
{
    return std::any_of(logs.begin(), logs.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

} // namespace

TEST(Windows, NamesBeyondAsciiReachTheSystemAsUtf16)
{
    // Built from UTF-16 so that no conversion of ours is involved.
    const fs::path dir = fs::temp_directory_path() / (L"crw-donn\u00e9es \u65e5-" + std::to_wstring(GetCurrentProcessId()));
    fs::create_directories(dir / L"CRW" / L"presets");
    {
        PluginFixture f(dir);
        CRW& p = f.plugin();
        const std::wstring folder = p.dataFolder.wstring();
        // The host's folder comes with backslashes; the plug-in's paths keep them.
        EXPECT_NE(crw::pathText(p.dataFolder).find("\\CRW"), std::string::npos);
        EXPECT_TRUE(existsAsWide(folder + L"\\config.json"));

        p.savePreset("soir\xc3\xa9"
                     "e \xe6\x97\xa5",
                     p.filterSettings);
        EXPECT_TRUE(existsAsWide(folder + L"\\presets\\soir\u00e9e \u65e5.json"));
        const auto entries = p.listPresets();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].label, "soir\xc3\xa9"
                                    "e \xe6\x97\xa5");
        crw::SearcherSettings loaded;
        EXPECT_TRUE(p.loadPreset(entries[0].path, loaded));
        // Log lines carry the path as UTF-8.
        EXPECT_TRUE(hasLine(f.host().logs(), "Saved preset : " + crw::pathText(dir) + "\\CRW\\presets\\soir\xc3\xa9"
                                                                                      "e \xe6\x97\xa5.json"));
    }
    fs::remove_all(dir);
}

TEST(Windows, ConfigSavedWhileAnotherProgramHoldsIt)
{
    PluginFixture f;
    CRW& p = f.plugin();
    const fs::path file = p.dataFolder / "config.json";
    const std::string before = readFile(file);
    ASSERT_FALSE(before.empty());

    // An editor or a scanner that shares nothing: the save fails, says so,
    // and leaves the file whole; the next save writes the new choice.
    HANDLE held = CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    f.host().clearRecords();
    p.setLanguage(true);
    auto logs = f.host().logs();
    EXPECT_FALSE(hasLine(logs, "Saved config !"));
    EXPECT_TRUE(hasLine(logs, "Could not save the config to " + crw::pathText(file) + " : "));
    CloseHandle(held);
    EXPECT_EQ(readFile(file), before);
    p.setLanguage(true);
    EXPECT_NE(readFile(file).find("\"Language\":\"French\""), std::string::npos);

    // A reader that shares writing does not stand in the way.
    held = CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    f.host().clearRecords();
    p.setLanguage(false);
    EXPECT_TRUE(hasLine(f.host().logs(), "Saved config !"));
    CloseHandle(held);
    EXPECT_NE(readFile(file).find("\"Language\":\"English\""), std::string::npos);
}

TEST(Windows, LinksReachTheShellAsUtf16)
{
    EXPECT_EQ(crw::ui::urlForShell(crw::links::kFeedbackForm), L"https://crewfinder.example/feedback");
    EXPECT_EQ(crw::ui::urlForShell("https://exemple.fr/caf\xc3\xa9?q=\xe6\x97\xa5"),
              L"https://exemple.fr/caf\u00e9?q=\u65e5");
    EXPECT_EQ(crw::ui::urlForShell(""), L"");
}
