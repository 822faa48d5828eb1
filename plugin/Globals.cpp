#include "plugin/Prelude.h"

#include "plugin/Globals.h"

#include <mutex>

namespace crw {

namespace {
std::mutex g_handlesMutex;
std::shared_ptr<CVarManagerWrapper> g_cvarManager;
std::shared_ptr<GameWrapper> g_gameWrapper;
} // namespace

char keyBindBuffer[200] = "F5";
char presetNameBuffer[64] = "";
char keywordBuffer[128] = "";
bool frenchUpdateNotice = false;

void setGlobalHandles(std::shared_ptr<CVarManagerWrapper> cvarManager, std::shared_ptr<GameWrapper> gameWrapper)
{
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    g_cvarManager = std::move(cvarManager);
    g_gameWrapper = std::move(gameWrapper);
}

std::shared_ptr<CVarManagerWrapper> globalCvarManager()
{
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    return g_cvarManager;
}

std::shared_ptr<GameWrapper> globalGameWrapper()
{
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    return g_gameWrapper;
}

void logLine(const std::string& text)
{
    if (auto cvar = globalCvarManager()) {
        cvar->log(text);
    }
}

} // namespace crw
