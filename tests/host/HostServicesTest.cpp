// The sandbox's host services, options and data folder, without a plug-in.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>
#include <type_traits>

#include <imgui.h>

#include "DataFolder.h"
#include "FrameStats.h"
#include "Frontend.h"
#include "Options.h"
#include "SandboxHost.h"
#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

namespace fs = std::filesystem;
using namespace sandbox;

namespace {

fs::path tempDir(const std::string& prefix)
{
    std::random_device rd;
    for (;;) {
        auto dir = fs::temp_directory_path() / (prefix + "-" + std::to_string(rd()));
        if (fs::create_directories(dir)) {
            return dir;
        }
    }
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool hasLine(SandboxHost& host, const std::string& text)
{
    for (const auto& line : host.consoleSince(0)) {
        if (line.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Runs a no-op on the game thread and waits, so every job queued before has run.
void drain(SandboxHost& host)
{
    for (int i = 0; i < 3; ++i) {
        host.waitGame(host.post([] {}));
    }
}

} // namespace

TEST(SandboxOptions, PlayerServerAndRunFlags)
{
    Options o;
    const auto r =
        parseOptions({"--name", "Ana", "--id", "Epic|1|0", "--mmr", "11=1200", "--mmr", "13=950.5", "--server",
                      "10.0.0.2:4000", "--headless", "--no-embedded-server", "--frames", "5", "--size", "1280x720"},
                     o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(o.profile.name, "Ana");
    EXPECT_EQ(o.profile.id, "Epic|1|0");
    EXPECT_FLOAT_EQ(o.profile.mmr[11], 1200.f);
    EXPECT_FLOAT_EQ(o.profile.mmr[13], 950.5f);
    EXPECT_FLOAT_EQ(o.profile.mmr[2], defaultMMR()[2]); // playlists not given keep their default
    EXPECT_EQ(o.server, "10.0.0.2:4000");
    EXPECT_TRUE(o.headless);
    EXPECT_FALSE(o.embeddedServer);
    EXPECT_EQ(o.frames.value_or(0), 5);
    EXPECT_EQ(o.width, 1280);
    EXPECT_EQ(o.height, 720);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--mmr", "11"},
                                                                 {"--mmr", "x=3"},
                                                                 {"--server", "localhost"},
                                                                 {"--server", "host:0"},
                                                                 {"--server", "host:70000"},
                                                                 {"--frames", "-1"},
                                                                 {"--name"},
                                                                 {"--bogus"}}) {
        Options other;
        EXPECT_FALSE(parseOptions(bad, other).ok) << bad[0];
    }
}

TEST(SandboxOptions, ProfileFileIsAppliedWholeOrNotAtAll)
{
    const auto dir = tempDir("crw-profile");
    writeFile(dir / "good.json", R"({"name": "Bo", "id": "Steam|7|0", "mmr": {"11": 1500, "27": 640.5}})");
    Profile p;
    std::string error;
    ASSERT_TRUE(loadProfile((dir / "good.json").string(), p, error)) << error;
    EXPECT_EQ(p.name, "Bo");
    EXPECT_EQ(p.id, "Steam|7|0");
    EXPECT_FLOAT_EQ(p.mmr[11], 1500.f);
    EXPECT_FLOAT_EQ(p.mmr[27], 640.5f);

    // A bad entry late in the file must not leave the earlier fields half applied.
    writeFile(dir / "bad.json", R"({"name": "Changed", "mmr": {"11": "high"}})");
    writeFile(dir / "array.json", "[1, 2]");
    writeFile(dir / "broken.json", "{\"name\": ");
    for (const char* file : {"bad.json", "array.json", "broken.json", "missing.json"}) {
        Profile q = p;
        EXPECT_FALSE(loadProfile((dir / file).string(), q, error)) << file;
        EXPECT_EQ(q.name, "Bo") << file;
    }
    fs::remove_all(dir);
}

TEST(SandboxDataFolder, LaysOutTheImagesAndKeepsWhatIsThere)
{
    const auto dir = tempDir("crw-data");
    std::string error;
    ASSERT_TRUE(prepareDataFolder(dir, defaultAssetsDir(), error)) << error;
    EXPECT_TRUE(fs::is_directory(dir / "CRW" / "presets"));
    EXPECT_TRUE(fs::is_regular_file(dir / "CRW" / "images" / "refresh.png"));
    size_t playlists = 0;
    for (const auto& e : fs::directory_iterator(dir / "CRW" / "images" / "Playlists")) {
        playlists += e.path().extension() == ".png";
    }
    EXPECT_EQ(playlists, 20u);
    EXPECT_TRUE(fs::is_regular_file(dir / "CRW" / "images" / "VoiceChat" / "voice_chat_any.png"));

    // A second start (or an image the player replaced) leaves the files alone.
    writeFile(dir / "CRW" / "images" / "refresh.png", "mine");
    writeFile(dir / "CRW" / "config.json", "{}");
    ASSERT_TRUE(prepareDataFolder(dir, defaultAssetsDir(), error)) << error;
    EXPECT_EQ(readFile(dir / "CRW" / "images" / "refresh.png"), "mine");
    EXPECT_EQ(readFile(dir / "CRW" / "config.json"), "{}");

    EXPECT_FALSE(prepareDataFolder(dir, dir / "no-such-assets", error));
    fs::remove_all(dir);
}

TEST(SandboxHostServices, CommandsRunOnTheGameThreadInOrder)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    std::thread::id gameThread;
    host.waitGame(host.post([&] { gameThread = std::this_thread::get_id(); }));

    std::vector<std::vector<std::string>> calls;
    std::vector<std::thread::id> threads;
    host.registerNotifier(
        "crw_test",
        [&](std::vector<std::string> args) {
            calls.push_back(args);
            threads.push_back(std::this_thread::get_id());
        },
        "", 0);
    host.runCommand("crw_test one \"two words\"");
    host.executeCommand("crw_test", true);
    drain(host);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"crw_test", "one", "two words"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"crw_test"}));
    EXPECT_EQ(threads[0], gameThread);
    EXPECT_EQ(threads[1], gameThread);
    EXPECT_NE(gameThread, std::this_thread::get_id());

    host.forgetPluginCallbacks();
    host.runCommand("crw_test");
    host.runCommand("no_such_thing");
    drain(host);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_TRUE(hasLine(host, "Unknown command: crw_test"));
    EXPECT_TRUE(hasLine(host, "Unknown command: no_such_thing"));
}

TEST(SandboxHostServices, CvarsBindsMenusAndPartyJoin)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    EXPECT_EQ(host.cvar(kToastCvar), 1);
    host.runCommand(std::string(kToastCvar) + " 0");
    host.runCommand(std::string(kToastCvar) + " lots"); // refused, keeps 0
    host.runCommand("bind F5 togglemenu CRW");
    drain(host);
    EXPECT_EQ(host.cvar(kToastCvar), 0);
    EXPECT_EQ(host.bindFor("F5").value_or(""), "togglemenu CRW");

    // A window that closes itself toggles its menu from the render thread:
    // the change must be visible before the next frame, not after a game-thread hop.
    EXPECT_FALSE(host.menuOpen("CRW"));
    host.executeCommand("togglemenu CRW", true);
    EXPECT_TRUE(host.menuOpen("CRW"));
    host.executeCommand("togglemenu CRW", true);
    EXPECT_FALSE(host.menuOpen("CRW"));
    host.executeCommand("togglemenu Nope", true);
    EXPECT_TRUE(hasLine(host, "Unknown menu: Nope"));

    int joins = 0;
    std::string eventName;
    host.hookEvent(kPartyJoinEvent, [&](std::string name) {
        ++joins;
        eventName = name;
    });
    host.runCommand("party join");
    drain(host);
    EXPECT_EQ(joins, 1);
    EXPECT_EQ(eventName, kPartyJoinEvent);
}

TEST(SandboxHostServices, InviteTextsAreVisibleAndToastsFollowTheSwitch)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    const int a = host.fnameIndexByString("invite Epic|00ff|0");
    EXPECT_EQ(host.fnameIndexByString("invite Epic|00ff|0"), a);
    EXPECT_TRUE(hasLine(host, "Invite request from Epic|00ff|0"));
    auto toasts = host.liveToasts();
    ASSERT_EQ(toasts.size(), 2u);
    EXPECT_EQ(toasts[0].text, "Invite request from Epic|00ff|0");

    host.setCvarInt(kToastCvar, 0);
    host.fnameIndexByString("invite Steam|9|0");
    host.toast("CRW", "hidden", "default", 3.5f, 0, 290.f, 60.f);
    EXPECT_TRUE(hasLine(host, "Invite request from Steam|9|0")); // the console still shows it
    EXPECT_EQ(host.liveToasts().size(), 2u);
    EXPECT_FALSE(hasLine(host, "hidden"));

    // Other names are just names.
    host.fnameIndexByString("Function TAGame.Something");
    EXPECT_FALSE(hasLine(host, "TAGame"));
}

TEST(SandboxHostServices, WrappersReportGameCallsMadeOffTheGameThread)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    GameWrapper& game = *host.gameWrapper;
    CVarManagerWrapper& cvars = *host.cvarManager;

    // Allowed from any thread, and everything on the game thread.
    cvars.log("hello");
    cvars.executeCommand("help", false);
    game.Execute([&](GameWrapper* gw) {
        gw->GetMMRWrapper().GetPlayerMMR(gw->GetUniqueID(), 11);
        cvars.getCvar(kToastCvar).setValue(1);
        gw->Toast("CRW", "fine");
    });
    drain(host);
    EXPECT_FALSE(hasLine(host, "host rule:"));

    // The game's own calls from this thread: each named, none refused (not strict).
    game.GetPlayerName();
    cvars.getCvar(kToastCvar).setValue(std::string("0"));
    for (const char* call : {"GameWrapper::GetPlayerName", "CVarManagerWrapper::getCvar", "CVarWrapper::setValue"}) {
        EXPECT_TRUE(hasLine(host, std::string("host rule: ") + call + " called off the game thread")) << call;
    }
    EXPECT_EQ(host.cvar(kToastCvar), 0);
    EXPECT_FALSE(host.ruleBroken());

    host.setStrict(true);
    game.GetUniqueID();
    EXPECT_TRUE(host.ruleBroken());
    EXPECT_TRUE(host.quitRequested());
}

TEST(SandboxHostServices, ToastsKeepTheNewestFewWithTextsCut)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    for (int i = 0; i < 50; ++i) {
        host.toast(std::string(1000, 't'), std::to_string(i) + std::string(20000, 'x'), "default", 30.f, 0, 290.f,
                   60.f);
    }
    const auto toasts = host.liveToasts();
    ASSERT_EQ(toasts.size(), kMaxToasts);
    EXPECT_EQ(toasts.back().text.rfind("49", 0), 0u);
    for (const auto& t : toasts) {
        EXPECT_LE(t.title.size(), kToastTitleBytes);
        EXPECT_LE(t.text.size(), kToastTextBytes);
    }
}

TEST(SandboxFrontend, HeadlessDrawsListsPastSixtyFourThousandVertices)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    Options options;
    options.headless = true;
    Frontend frontend(options, host, "");
    std::string error;
    ASSERT_TRUE(frontend.init(error)) << error;
    EXPECT_TRUE(ImGui::GetIO().BackendFlags & ImGuiBackendFlags_RendererHasVtxOffset);
    // 20,000 rectangles of 4 vertices in one window: without vertex offsets
    // ImGui's 16-bit index check would end the process here.
    // A new window shows from its second frame.
    for (int frame = 0; frame < 2; ++frame) {
        ImGui::NewFrame();
        ImGui::Begin("many");
        ImDrawList* draw = ImGui::GetWindowDrawList();
        for (int i = 0; i < 20000; ++i) {
            const float x = static_cast<float>(i % 100);
            draw->AddRectFilled(ImVec2(x, 0), ImVec2(x + 1, 1), IM_COL32_WHITE);
        }
        ImGui::End();
        ImGui::Render();
    }
    EXPECT_GT(ImGui::GetDrawData()->TotalVtxCount, 1 << 16);
    frontend.shutdown();
}

TEST(SandboxHostServices, ImagesDecodeOrStayEmpty)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    const auto good = host.imageCreate(defaultAssetsDir() / "refresh.png", false, true);
    const auto missing = host.imageCreate("/no/such/image.png", false, true);
    EXPECT_NE(good, 0u);
    EXPECT_NE(missing, 0u);
    EXPECT_NE(host.imageTexture(good), nullptr); // headless: a token once decoded
    EXPECT_EQ(host.imageTexture(missing), nullptr);
    host.imageRelease(good);
    EXPECT_EQ(host.imageTexture(good), nullptr);
}

TEST(SandboxHostServices, UnloadingDropsThePluginsLateWork)
{
    SandboxHost host(Profile{}, "/tmp", false, false);
    host.setPluginGate(false);
    bool ran = false;
    bool answered = false;
    host.execute([&] { ran = true; });
    host.sendHttp(
        CurlRequest{"http://127.0.0.1:1/list", "GET", {}, ""}, [&](int, std::string) { answered = true; }, false);
    drain(host);
    host.drainHttp();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(answered);
}

TEST(SandboxFrameStats, QuantilesFromAFixedHistogram)
{
    sandbox::FrameStats stats;
    using ms = std::chrono::duration<double, std::milli>;
    auto add = [&](double v, int n) {
        for (int i = 0; i < n; ++i) {
            stats.addRender(std::chrono::duration_cast<sandbox::FrameStats::Clock::duration>(ms(v)));
        }
    };
    // Nothing kept per frame: a run of any length costs the same memory.
    EXPECT_TRUE(std::is_trivially_copyable<sandbox::FrameStats>::value);
    EXPECT_EQ(stats.summary().frames, 0);
    // A long run: 980,000 quick frames, 19,000 slow ones, one stall.
    add(0.4, 980000);
    add(3.0, 19000);
    add(250.0, 1);
    const auto s = stats.summary();
    EXPECT_EQ(s.frames, 999001);
    EXPECT_NEAR(s.medianMs, 0.4, 0.4 * 0.021); // bucket precision, never below the true value
    EXPECT_GE(s.medianMs, 0.4);
    EXPECT_NEAR(s.p99Ms, 3.0, 3.0 * 0.021);
    EXPECT_DOUBLE_EQ(s.worstMs, 250.0);
    add(0.0, 1); // zero and huge values land in the end buckets
    add(1e7, 1);
    EXPECT_DOUBLE_EQ(stats.summary().worstMs, 1e7);
}
