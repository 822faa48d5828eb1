#include "plugin/Prelude.h"

#include "plugin/CRW.h"

#include <cstdlib>
#include <mutex>

#include <imgui.h>

#include "plugin/Globals.h"

#ifndef CRW_SERVER_ADDRESS
#define CRW_SERVER_ADDRESS "127.0.0.1"
#endif

namespace crw {

namespace {
std::mutex g_intervalsMutex;
Intervals g_intervals;
} // namespace

void setIntervals(const Intervals& intervals)
{
    std::lock_guard<std::mutex> lock(g_intervalsMutex);
    g_intervals = intervals;
}

Intervals currentIntervals()
{
    std::lock_guard<std::mutex> lock(g_intervalsMutex);
    return g_intervals;
}

ServerAddress serverAddressFromEnvironment()
{
    ServerAddress address{CRW_SERVER_ADDRESS, 3000};
    const char* env = std::getenv("CRW_SERVER_ADDRESS");
    if (env == nullptr || *env == '\0') {
        return address;
    }
    std::string text = env;
    auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        address.host = text;
        return address;
    }
    const std::string portText = text.substr(colon + 1);
    char* end = nullptr;
    long port = std::strtol(portText.c_str(), &end, 10);
    if (colon > 0 && end != portText.c_str() && *end == '\0' && port > 0 && port < 65536) {
        address.host = text.substr(0, colon);
        address.port = static_cast<int>(port);
    }
    return address;
}

} // namespace crw

CRW::CRW() : CRW(crw::currentIntervals()) {}

CRW::CRW(const crw::Intervals& timerIntervals)
    : texts(crw::englishTextTable()),
      englishTexts(crw::englishTextTable()),
      frenchTexts(crw::frenchTextTable()),
      intervals(timerIntervals),
      stillThereTimer(intervals.stillThere, [this] { AskStillThere(); }),
      stillThereTimeoutTimer(intervals.stillThereTimeout, [this] { ForceStop(); }),
      clearSearchersTimer(intervals.clearSearchers, [this] { ClearSearchers(); }),
      refreshTimer(intervals.refresh,
                   [this] {
                       std::lock_guard<std::recursive_mutex> lock(stateMutex);
                       canRefresh = true;
                   }),
      inviteTimer(intervals.invite,
                  [this] {
                      std::lock_guard<std::recursive_mutex> lock(stateMutex);
                      canRequestInvite = true;
                  }),
      playlists(crw::fixedPlaylists()),
      regions(crw::fixedRegions()),
      languages(crw::fixedLanguages())
{
    const auto address = crw::serverAddressFromEnvironment();
    serverAddress = address.host;
    serverUrl = "http://" + address.host + ":" + std::to_string(address.port);
    websocketUrl = "ws://" + address.host + ":" + std::to_string(address.port) + "/";

    stillThereCheck.title = "Check";
    stillThereCheck.onYes = [this] {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        stillThereCheck.open = false;
        stillThereTimeoutTimer.stop();
        stillThereTimer.start();
    };
    stillThereCheck.onNo = [this] { Stop(); };

    windowTitle = "CRW v" + pluginVersion + " | Made By " + crw::kMakerNickname;
}

CRW::~CRW()
{
    // Timers first (reverse declaration order would end them after the
    // endpoint's join): make sure no countdown action can start while the
    // rest of the object goes away.
    inviteTimer.stop();
    refreshTimer.stop();
    clearSearchersTimer.stop();
    stillThereTimeoutTimer.stop();
    stillThereTimer.stop();
}

void CRW::onLoad()
{
    crw::setGlobalHandles(cvarManager, gameWrapper);
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    loadConfig();
    gameWrapper->HookEvent("Function ProjectX.Parties_X.HandleUserJoined", [this](std::string) { AskStillThere(); });
    cvarManager->registerNotifier(
        "crw_ws_closedconnection_bad",
        [this](std::vector<std::string>) {
            std::lock_guard<std::recursive_mutex> lock(stateMutex);
            isRegistered = false;
            showToast("CRW", "An error occured, you are no longer registered on the plugin !", 3.5f, "default");
            CheckAPI();
        },
        "", 0);
    cvarManager->registerNotifier(
        "crw_ws_badmessage",
        [this](std::vector<std::string>) {
            std::lock_guard<std::recursive_mutex> lock(stateMutex);
            wsClientBadMessagePopup.message = "Websocket Server: | Error: bad message";
            wsClientBadMessagePopup.open = true;
        },
        "", 0);
}

std::string CRW::GetPluginName() { return "CRW"; }
std::string CRW::GetMenuName() { return "CRW"; }

std::string CRW::GetMenuTitle()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    return windowTitle;
}

void CRW::SetImGuiContext(std::uintptr_t ctx) { ImGui::SetCurrentContext(reinterpret_cast<ImGuiContext*>(ctx)); }

bool CRW::ShouldBlockInput()
{
    if (ImGui::GetCurrentContext() == nullptr) {
        return false;
    }
    const ImGuiIO& io = ImGui::GetIO();
    return io.WantCaptureMouse || io.WantCaptureKeyboard;
}

bool CRW::IsActiveOverlay() { return true; }

void CRW::OnOpen()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    isWindowOpen = true;
}

void CRW::OnClose()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    isWindowOpen = false;
}

void CRW::showToast(std::string title, std::string text, float seconds, std::string texture)
{
    CVarWrapper toasts = cvarManager->getCvar("cl_notifications_enabled_beta");
    const int saved = toasts.getIntValue();
    toasts.setValue(1);
    gameWrapper->Toast(title, text, texture, seconds, 0, 290.f, 60.f);
    toasts.setValue(saved);
}
