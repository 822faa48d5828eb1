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

namespace {
// The variable's text, empty when unset. MSVC's /sdl rejects std::getenv;
// _dupenv_s is its checked form, in the UCRT (MinGW's default msvcrt.dll
// lacks it).
std::string environmentText(const char* name)
{
#if defined(_MSC_VER) || defined(_UCRT)
    char* value = nullptr;
    std::size_t length = 0;
    if (_dupenv_s(&value, &length, name) != 0 || value == nullptr) {
        return {};
    }
    std::string text = value;
    std::free(value);
    return text;
#else
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
#endif
}
} // namespace

ServerAddress serverAddressFromEnvironment()
{
    ServerAddress address{CRW_SERVER_ADDRESS, 3000};
    const std::string text = environmentText("CRW_SERVER_ADDRESS");
    if (text.empty()) {
        return address;
    }
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
    : texts(crw::englishTextTable()), englishTexts(crw::englishTextTable()), frenchTexts(crw::frenchTextTable()),
      intervals(timerIntervals),
      // Every action runs under stateMutex, so a stop made under it is final.
      stillThereTimer(
          intervals.stillThere, [this] { AskStillThere(); }, &stateMutex),
      stillThereTimeoutTimer(
          intervals.stillThereTimeout, [this] { ForceStop(); }, &stateMutex),
      clearSearchersTimer(
          intervals.clearSearchers, [this] { ClearSearchers(); }, &stateMutex),
      refreshTimer(
          intervals.refresh, [this] { canRefresh = true; }, &stateMutex),
      inviteTimer(
          intervals.invite, [this] { canRequestInvite = true; }, &stateMutex),
      playlists(crw::fixedPlaylists()), regions(crw::fixedRegions()), languages(crw::fixedLanguages())
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
    // Members go in reverse declaration order, and the timers' actions touch
    // members declared after them: every countdown thread and every waiting
    // completion has to be finished before the first member goes. Without
    // stateMutex held, since an action may be waiting for it.
    for (crw::Timer* timer :
         {&stillThereTimer, &stillThereTimeoutTimer, &clearSearchersTimer, &refreshTimer, &inviteTimer}) {
        timer->shutdown();
    }
    std::unique_lock<std::mutex> lock(lifetime.mutex);
    lifetime.closing = true;
    endpoint.cancel_waits();
    lifetime.idle.wait(lock, [this] { return lifetime.busy == 0; });
}

void CRW::onLoad()
{
    crw::setGlobalHandles(cvarManager, gameWrapper);
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    loadConfig();
    gameWrapper->HookEvent("Function ProjectX.Parties_X.HandleUserJoined", [this](std::string) { AskStillThere(); });
    cvarManager->registerNotifier(
        "crw_ws_closedconnection_bad", [this](std::vector<std::string>) { OnConnectionClosedBadly(); }, "", 0);
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
    // Callers include timer threads, and the cvars and toasts belong to the
    // game thread. The job holds the host's handles, not this object.
    gameWrapper->Execute([cvars = cvarManager, title, text, seconds, texture](GameWrapper* game) {
        CVarWrapper toasts = cvars->getCvar("cl_notifications_enabled_beta");
        const int saved = toasts.getIntValue();
        toasts.setValue(1);
        game->Toast(title, text, texture, seconds, 0, 290.f, 60.f);
        toasts.setValue(saved);
    });
}
