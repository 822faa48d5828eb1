#pragma once
#include <cstdint>
#include <string>

namespace BakkesMod::Plugin {

class PluginWindow {
public:
    virtual void Render() = 0;
    virtual std::string GetMenuName() = 0;
    virtual std::string GetMenuTitle() = 0;
    virtual void SetImGuiContext(std::uintptr_t ctx) = 0;
    virtual bool ShouldBlockInput() = 0;
    virtual bool IsActiveOverlay() = 0;
    virtual void OnOpen() = 0;
    virtual void OnClose() = 0;
};

} // namespace BakkesMod::Plugin
