#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <cmath>

#include "bakkesmod/wrappers/ImageWrapper.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "ui/Links.h"

#if IMGUI_VERSION_NUM < 17700
#include <imgui_internal.h>
#endif

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace crw::ui {

void* texture(const std::shared_ptr<ImageWrapper>& image) { return image ? image->GetImGuiTex() : nullptr; }

void drawImage(ImDrawList* list, const std::shared_ptr<ImageWrapper>& image, const ImVec2& from, const ImVec2& to)
{
    if (void* tex = texture(image)) {
        list->AddImage(tex, from, to);
    }
}

ImVec2 scaledSize(const std::string& text, float fontSize)
{
    return ImGui::CalcTextSize(text.c_str()) * (fontSize / kDefaultFontSize);
}

void drawText(ImDrawList* list, const std::string& text, const ImVec2& pos, float fontSize, const ImVec4& color)
{
    list->AddText(ImGui::GetFont(), fontSize, pos, u32(color), text.c_str(), text.c_str() + text.size());
}

bool beginModal(const char* id, ImGuiWindowFlags flags)
{
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    ImGui::SetNextWindowPos(ImVec2(display.x * 0.5f, display.y * 0.5f), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
    return ImGui::BeginPopupModal(id, nullptr, flags);
}

void okModal(const char* id, const std::string& text)
{
    if (beginModal(id)) {
        ImGui::TextUnformatted(text.c_str());
        ImGui::Separator();
        CRW::centerNextItem(100.f);
        if (ImGui::Button("OK", ImVec2(100, 25))) {
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }
}

void pushGreenButton()
{
    ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.0f, 0.667f, 0.078f, 0.549f));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(0.0f, 0.863f, 0.078f, 0.784f));
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, ImVec4(0.0f, 0.75f, 0.078f, 0.784f));
}

void popGreenButton() { ImGui::PopStyleColor(3); }

void scaledText(const std::string& text, float fontSize)
{
    const ImVec2 size = scaledSize(text, fontSize);
    ImGui::BeginChild(text.c_str(), size, false, 0);
    drawText(ImGui::GetWindowDrawList(), text, ImGui::GetWindowPos(), fontSize, kWhite);
    ImGui::EndChild();
}

bool imageCheckbox(bool& flag, const std::shared_ptr<ImageWrapper>& on, const std::shared_ptr<ImageWrapper>& off,
                   const ImVec2& size)
{
    ImGui::BeginChild("##CheckboxImage", size, false, 0);
    const ImVec2 pos = ImGui::GetWindowPos();
    drawImage(ImGui::GetWindowDrawList(), flag ? on : off, pos, pos + size);
    ImGui::EndChild();
    if (ImGui::IsItemHovered()) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
            flag = !flag;
            return true;
        }
    }
    return false;
}

bool checkboxItem(const std::string& label, const ImVec2& box, float fontSize, bool& flag, const ImVec4& textColor)
{
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float width = ImGui::GetContentRegionAvail().x;
    ImGui::BeginChild(label.c_str(), ImVec2(width, box.y), false, 0);
    ImGui::EndChild();
    ImDrawList* list = ImGui::GetWindowDrawList();
    bool clicked = false;
    if (ImGui::IsItemHovered()) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
        list->AddRectFilled(p, ImVec2(p.x + width, p.y + box.y), u32(rgba(53, 114, 162, 80)));
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
            flag = !flag;
            clicked = true;
        }
    }
    if (flag) {
        list->AddRectFilled(p, p + box, u32(rgba(53, 114, 192, 150)), 2.f, kAllCorners);
    }
    list->AddRect(p, p + box, u32(kWhite), 2.f, kAllCorners, 0.5f);
    const ImVec2 textSize = scaledSize(label, fontSize);
    drawText(list, label, ImVec2(p.x + box.x + 4, p.y + (box.y - textSize.y) / 2), fontSize, textColor);
    return clicked;
}

void voiceChatWidget(const std::vector<std::shared_ptr<ImageWrapper>>& images, const ImVec2& size, int32_t& value,
                     const std::string& caption)
{
    // Three choices: either, on, off. A value from elsewhere (a hand-edited
    // preset) may lie outside them; it shows no image and the next click
    // starts the cycle again.
    constexpr int32_t kChoices = 3;
    ImGui::BeginChild("##VoiceChat Widget", size, false, 0);
    if (value >= 0 && static_cast<std::size_t>(value) < images.size()) {
        const ImVec2 pos = ImGui::GetWindowPos();
        drawImage(ImGui::GetWindowDrawList(), images[value], pos, pos + size);
    }
    ImGui::EndChild();
    if (ImGui::IsItemHovered()) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
        static const char* const kSuffix[kChoices] = {" ON/OFF", " ON", " OFF"};
        const std::string tip = caption + (value >= 0 && value < kChoices ? kSuffix[value] : "");
        ImGui::BeginTooltip();
        ImGui::TextUnformatted(tip.c_str());
        ImGui::EndTooltip();
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
            value = (value >= 0 && value + 1 < kChoices) ? value + 1 : 0;
        }
    }
}

void renderSection(const std::string& caption, float height, float width, const std::function<void()>& content)
{
    const float top = ImGui::GetCursorScreenPos().y;
    ImGui::PushStyleColor(ImGuiCol_ChildBg, kBoxBackground);
    ImGui::BeginChild(("##" + caption + "Child").c_str(), ImVec2(width, height), true, 0);
    ImGui::PopStyleColor();
    CRW::centerNextItem(scaledSize(caption, 16.f).x);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 6);
    scaledText(caption, 16.f);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 6);
    const float innerHeight = top + height - ImGui::GetCursorScreenPos().y - 8;
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + 4);
    ImGui::PushStyleColor(ImGuiCol_ChildBg, kListBackground);
    ImGui::BeginChild(("##" + caption + "ListChild").c_str(), ImVec2(ImGui::GetContentRegionAvail().x - 4, innerHeight),
                      true, 0);
    ImGui::PopStyleColor();
    content();
    ImGui::EndChild();
    ImGui::EndChild();
}

bool anyPopupOpenHere()
{
#if IMGUI_VERSION_NUM >= 17700
    return ImGui::IsPopupOpen(nullptr, ImGuiPopupFlags_AnyPopupId);
#else
    const ImGuiContext& g = *GImGui;
    return g.OpenPopupStack.Size > g.BeginPopupStack.Size;
#endif
}

#ifdef _WIN32
std::wstring urlForShell(const std::string& url)
{
    // Our texts are UTF-8 whatever the system's ANSI code page is.
    const int length = MultiByteToWideChar(CP_UTF8, 0, url.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, url.c_str(), -1, wide.data(), length);
    wide.pop_back(); // the terminating zero, which c_str() supplies
    return wide;
}
#endif

void openUrl(const std::string& url)
{
#ifdef _WIN32
    const std::wstring wide = urlForShell(url);
    if (!wide.empty()) {
        ShellExecuteW(nullptr, nullptr, wide.c_str(), nullptr, nullptr, SW_SHOW);
    }
#else
    // The address is one argument of xdg-open, never shell text. The middle
    // process exits at once so the opener is adopted by init and reaped there;
    // the frame only waits for that exit.
    std::string arg = url;
    char program[] = "xdg-open";
    char* argv[] = {program, arg.data(), nullptr};
    const pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            execvp(program, argv);
            _exit(127);
        }
        _exit(0);
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
    }
#endif
}

} // namespace crw::ui

bool CRW::colorButton(const char* label, const ImVec2& size, float fontSize, const ImVec4& color,
                      const ImVec4& hoveredColor)
{
    using namespace crw::ui;
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::BeginChild(label, size, false, 0);
    ImGui::EndChild();
    const bool hovered = ImGui::IsItemHovered();
    if (hovered) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
    }
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddRectFilled(p, p + size, u32(hovered ? hoveredColor : color), 5.f, kAllCorners);
    const std::string text = label;
    const ImVec2 textSize = scaledSize(text, fontSize);
    drawText(list, text, p + (size - textSize) * 0.5f, fontSize, kWhite);
    return hovered && ImGui::IsMouseClicked(ImGuiMouseButton_Left);
}

bool CRW::rotatingImageButton(const char* id, void* texture, const ImVec2& size, float inset, const ImVec4& tint,
                              const ImVec4& background, const ImVec4& hoveredBackground, float angle)
{
    using namespace crw::ui;
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::BeginChild(id, size, false, 0);
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddRectFilled(p, p + size, u32(rotatingHovered ? hoveredBackground : background), 5.f, kAllCorners);
    if (texture != nullptr && tint.w > 0.f) {
        const ImU32 tintColor = u32(tint);
        if (angle == 0.f) {
            list->AddImage(texture, p + ImVec2(inset, inset), p + size - ImVec2(inset, inset), ImVec2(0, 0),
                           ImVec2(1, 1), tintColor);
        } else {
            const float radians = angle * 3.14159265358979f / 180.f;
            const float c = std::cos(radians);
            const float s = std::sin(radians);
            const ImVec2 center = p + size * 0.5f;
            const ImVec2 half = (size - ImVec2(2 * inset, 2 * inset)) * 0.5f;
            auto corner = [&](float x, float y) { return center + ImVec2(x * c - y * s, x * s + y * c); };
            list->AddImageQuad(texture, corner(-half.x, -half.y), corner(half.x, -half.y), corner(half.x, half.y),
                               corner(-half.x, half.y), ImVec2(0, 0), ImVec2(1, 0), ImVec2(1, 1), ImVec2(0, 1),
                               tintColor);
        }
    }
    ImGui::EndChild();
    rotatingHovered = ImGui::IsItemHovered();
    if (rotatingHovered) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
    }
    return rotatingHovered && ImGui::IsMouseClicked(ImGuiMouseButton_Left);
}

void CRW::centerNextItem(float itemWidth, float availableWidth)
{
    float x = ImGui::GetCursorPosX();
    const float left = ImGui::GetContentRegionAvail().x;
    if (availableWidth < 0.f) {
        availableWidth = left;
    } else {
        x -= std::fabs(left - availableWidth);
    }
    ImGui::SetCursorPosX(x + (availableWidth - itemWidth) / 2.f);
}

void CRW::underlineLastItem(const ImVec4& color)
{
    const ImVec2 min = ImGui::GetItemRectMin();
    const ImVec2 max = ImGui::GetItemRectMax();
    ImGui::GetWindowDrawList()->AddLine(ImVec2(min.x, max.y), ImVec2(max.x, max.y), crw::ui::u32(color), 1.f);
}

void CRW::linkWidget(const std::string& url)
{
    static const ImVec4 kLinkColor(0.011764707f, 0.36862746f, 0.98823535f, 1.0f);
    // Each link gets its own "Link" menu, so copying takes this address even
    // when several links share a window.
    ImGui::PushID(url.c_str());
    ImGui::TextColored(kLinkColor, "%s", url.c_str());
    underlineLastItem(kLinkColor);
    if (ImGui::IsItemHovered()) {
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
            crw::ui::openUrl(url);
        } else if (ImGui::IsMouseClicked(ImGuiMouseButton_Right)) {
            ImGui::OpenPopup("Link");
        }
        underlineLastItem(ImGui::GetStyle().Colors[ImGuiCol_ButtonActive]);
    }
    if (ImGui::BeginPopup("Link")) {
        if (ImGui::Selectable("Copy link to clipboard")) {
            ImGui::SetClipboardText(url.c_str());
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }
    ImGui::PopID();
}
