#pragma once
// Small drawing helpers shared by the interface files.
#include <imgui.h>
#ifdef IMGUI_DEFINE_MATH_OPERATORS
#include <imgui_internal.h> // ImGui's ImVec2 operators, used instead of ours below
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ImageWrapper;

namespace crw::ui {

constexpr float kDefaultFontSize = 13.f;

// Rounded corners on all four sides. The host's ImGui (1.75) takes corner
// flags whose default is all corners and where 0 means none; 1.82 replaced
// them with draw flags where 0 means all. Naming them keeps both the same.
#if IMGUI_VERSION_NUM >= 18200
constexpr ImDrawFlags kAllCorners = ImDrawFlags_RoundCornersAll;
#else
constexpr ImDrawCornerFlags kAllCorners = ImDrawCornerFlags_All;
#endif

// Where ImGui's own ImVec2 operators are switched on (the host's imconfig.h
// does), ours would make every use ambiguous: take ImGui's instead.
#ifndef IMGUI_DEFINE_MATH_OPERATORS
inline ImVec2 operator+(const ImVec2& a, const ImVec2& b) { return ImVec2(a.x + b.x, a.y + b.y); }
inline ImVec2 operator-(const ImVec2& a, const ImVec2& b) { return ImVec2(a.x - b.x, a.y - b.y); }
inline ImVec2 operator*(const ImVec2& a, float f) { return ImVec2(a.x * f, a.y * f); }
#endif

// Colour from 0..255 channels.
inline ImVec4 rgba(int r, int g, int b, int a) { return ImVec4(r / 255.f, g / 255.f, b / 255.f, a / 255.f); }
inline ImU32 u32(const ImVec4& c) { return ImGui::ColorConvertFloat4ToU32(c); }
const ImVec4 kWhite(1.f, 1.f, 1.f, 1.f);
const ImVec4 kBlue = rgba(53, 114, 162, 140);
const ImVec4 kBlueHovered = rgba(53, 114, 220, 200);
const ImVec4 kGreen = rgba(0, 170, 20, 140);
const ImVec4 kGreenHovered = rgba(0, 220, 20, 200);
const ImVec4 kBoxBackground(0.f, 0.f, 0.f, 0.569f);
const ImVec4 kListBackground(0.f, 0.f, 0.f, 0.6f);

// Null until the host has loaded the image; callers then draw nothing.
void* texture(const std::shared_ptr<ImageWrapper>& image);
void drawImage(ImDrawList* list, const std::shared_ptr<ImageWrapper>& image, const ImVec2& from, const ImVec2& to);

// Size of text drawn with the default font at fontSize pixels.
ImVec2 scaledSize(const std::string& text, float fontSize);
void drawText(ImDrawList* list, const std::string& text, const ImVec2& pos, float fontSize, const ImVec4& color);

// Begins a modal centred on the display each time it appears, as the host's
// ImGui (1.75) places them. From 1.77 ImGui centres a modal only on its first
// use ever, so a message reopened with a longer text would sit off centre.
bool beginModal(const char* id, ImGuiWindowFlags flags = ImGuiWindowFlags_AlwaysAutoResize);

// Modal with a text and an "OK" button.
void okModal(const char* id, const std::string& text);

void pushGreenButton();
void popGreenButton();

void scaledText(const std::string& text, float fontSize);
bool imageCheckbox(bool& flag, const std::shared_ptr<ImageWrapper>& on, const std::shared_ptr<ImageWrapper>& off,
                   const ImVec2& size);
bool checkboxItem(const std::string& label, const ImVec2& box, float fontSize, bool& flag, const ImVec4& textColor);
void voiceChatWidget(const std::vector<std::shared_ptr<ImageWrapper>>& images, const ImVec2& size, int32_t& value,
                     const std::string& caption);
void renderSection(const std::string& caption, float height, float width, const std::function<void()>& content);

// Whether any popup is open at the current level. ImGui 1.77 added the flag
// for this query; the host's 1.75 is asked through its context instead.
bool anyPopupOpenHere();

// Opens an address in the system's browser without blocking the frame.
void openUrl(const std::string& url);
#ifdef _WIN32
// The address as ShellExecuteW gets it: UTF-16 from our UTF-8 text.
std::wstring urlForShell(const std::string& url);
#endif

} // namespace crw::ui
