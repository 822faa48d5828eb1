#pragma once
// Process-wide state of the plug-in library: the host handles that code
// without access to the plug-in object uses, and the widget text buffers.
#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

namespace crw {

// Filled by onLoad; read from any thread (WebSocket I/O, timers, HTTP
// completions), so they are swapped and copied under a lock of their own.
void setGlobalHandles(std::shared_ptr<CVarManagerWrapper> cvarManager, std::shared_ptr<GameWrapper> gameWrapper);
std::shared_ptr<CVarManagerWrapper> globalCvarManager();
std::shared_ptr<GameWrapper> globalGameWrapper();

// Writes one line to the host console, if a host is attached.
void logLine(const std::string& text);

template <typename... Args>
void LOG(fmt::format_string<Args...> format, Args&&... args)
{
    logLine(fmt::format(format, std::forward<Args>(args)...));
}

// Widget buffers, one per process; touched on the render thread only
// (setKeyBind reads keyBindBuffer on the game thread under the state lock).
extern char keyBindBuffer[200];
extern char presetNameBuffer[64];
extern char keywordBuffer[128];
extern bool frenchUpdateNotice;

} // namespace crw
