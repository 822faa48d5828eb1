#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <string>

#include "plugin/CRW.h"
#include "ui/Rows.h"

using namespace crw::ui;

namespace {

constexpr float kRowHeight = 40.f;
constexpr float kCellGap = 3.f;
constexpr float kCellFontSize = 17.5f;
constexpr float kShares[6] = {0.3f, 0.1f, 0.225f, 0.15f, 0.15f, 0.075f};

struct RowColors {
    ImVec4 cell;
    ImVec4 hover;
    bool lit = false; // the mouse was over the row last frame
};

// A cell's background, with the row's highlight over it while hovered. The
// highlight goes into the cell's own draw list: the row's list lies under
// its child windows, so anything drawn there is hidden by the cells.
void fillCell(ImDrawList* list, const ImVec2& box, float width, const RowColors& colors)
{
    list->AddRectFilled(box, box + ImVec2(width, kRowHeight), u32(colors.cell), 0.f);
    if (colors.lit) {
        list->AddRectFilled(box, box + ImVec2(width, kRowHeight), u32(colors.hover), 0.f);
    }
}

float listWidth() { return ImGui::GetContentRegionAvail().x - 15.f; }

// After a cell: 3 px right of its right edge, back to the row's top.
void nextCell(const ImVec2& cellMin, float width)
{
    ImGui::SetCursorScreenPos(ImVec2(cellMin.x + width + kCellGap, cellMin.y));
}

void renderHeaderCell(const std::string& label, const ImVec2& size)
{
    ImGui::BeginGroup();
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddRectFilled(p, p + size, u32(kBlue), 0.f);
    const ImVec2 textSize = scaledSize(label, kCellFontSize);
    drawText(list, label, p + (size - textSize) * 0.5f, kCellFontSize, kWhite);
    ImGui::EndGroup();
    ImGui::SetCursorScreenPos(p + size);
}

// Returns the box's top-left corner.
ImVec2 textCell(int index, float width, const std::string& text, const RowColors& colors)
{
    ImGui::GetStyle().ScrollbarSize = 8.f;
    ImGui::PushID(index);
    const ImVec2 box = ImGui::GetCursorScreenPos();
    ImGui::BeginChild("##element", ImVec2(width, kRowHeight), true,
                      ImGuiWindowFlags_HorizontalScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
    ImGui::BeginGroup();
    fillCell(ImGui::GetWindowDrawList(), box, width, colors);
    const ImVec2 textSize = scaledSize(text, kCellFontSize);
    const ImVec2 q = ImGui::GetCursorScreenPos();
    const float x = textSize.x > width ? q.x : q.x - 8.f + (width - textSize.x) / 2.f;
    const float y = q.y - 8.f + (kRowHeight - textSize.y) / 2.f;
    ImGui::SetCursorScreenPos(ImVec2(x, y));
    ImGui::BeginChild("##Label", textSize, false, 0);
    drawText(ImGui::GetWindowDrawList(), text, ImGui::GetCursorScreenPos(), kCellFontSize, kWhite);
    ImGui::EndChild();
    ImGui::EndGroup();
    ImGui::EndChild();
    ImGui::PopID();
    ImGui::SetCursorScreenPos(box + ImVec2(width, kRowHeight));
    return box;
}

std::string joinNames(const std::vector<std::string>& names, const std::string& anyText)
{
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += " | ";
        }
        out += names[i] == "Any" ? anyText : names[i];
    }
    return out;
}

} // namespace

void CRW::renderSearcherListHeader()
{
    const float w = listWidth();
    const std::string* labels[6] = {&texts.titleLabel,   &texts.creatorLabel,   &texts.playlistsLabel,
                                    &texts.regionsLabel, &texts.languagesLabel, &texts.voiceChatLabel};
    ImGui::BeginGroup();
    for (int c = 0; c < 6; ++c) {
        const ImVec2 p = ImGui::GetCursorScreenPos();
        renderHeaderCell(*labels[c], ImVec2(kShares[c] * w, kRowHeight));
        nextCell(p, kShares[c] * w);
    }
    ImGui::EndGroup();
}

void CRW::renderSearcher(crw::Searcher& searcher, bool isOwnEntry)
{
    RowColors colors{rgba(53, 114, 162, 80), rgba(47, 116, 178, 100)};
    if (isOwnEntry) {
        colors = {rgba(0, 170, 20, 80), rgba(0, 110, 20, 100)};
    } else if (searcher.creatorIdString == crw::kMakerIdString) {
        colors = {rgba(170, 20, 20, 80), rgba(110, 20, 20, 100)};
    }
    const float w = listWidth();
    const ImGuiID rowId = ImGui::GetID("##Searcher");
    colors.lit = uiState.hoveredRow == rowId;

    ImGui::BeginChild("##Searcher", ImVec2(ImGui::GetContentRegionAvail().x, kRowHeight), false, 0);
    const ImVec2 rowMin = ImGui::GetCursorScreenPos();

    ImVec2 cell = textCell(0, kShares[0] * w, searcher.title, colors);
    nextCell(cell, kShares[0] * w);
    cell = textCell(1, kShares[1] * w, searcher.creatorName, colors);
    nextCell(cell, kShares[1] * w);

    // Playlists.
    {
        const float width = kShares[2] * w;
        ImGui::PushID(2);
        const ImVec2 box = ImGui::GetCursorScreenPos();
        ImGui::BeginChild("##element", ImVec2(width, kRowHeight), true, 0);
        ImGui::BeginGroup();
        ImDrawList* cellList = ImGui::GetWindowDrawList();
        fillCell(cellList, box, width, colors);

        const auto& lists = searcher.playlists;
        const std::size_t n = lists.size();
        ImGui::SetCursorPosY(ImGui::GetCursorPosY() - 8.f);
        if (n == 1 && lists[0].name == "Other") {
            centerNextItem(39.3f);
        } else if (n > 1 && ImGui::GetColumnsCount() != 2) {
            ImGui::Columns(2, nullptr, true);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const crw::PlaylistSetting& playlist = lists[i];
            const bool other = playlist.name == "Other";
            const ImVec2 p = ImGui::GetCursorScreenPos();
            ImGui::PushID(static_cast<int>(i));
            ImGui::BeginChild("##image", ImVec2(39.3f, 32.3f), false, 0);
            drawImage(cellList, imagesForPlaylist(playlist.name).image, p, p + ImVec2(39.3f, 39.3f));
            ImGui::EndChild();
            ImGui::PopID();
            if (ImGui::IsItemHovered()) {
                ImGui::BeginTooltip();
                ImGui::TextUnformatted(playlist.name.c_str());
                if (!other) {
                    ImGui::Text("MMR : %s", playlist.mmr.c_str());
                    if (playlist.range != 0) {
                        ImGui::Text("%s : %d", texts.rangeLabel.c_str(), playlist.range);
                    } else {
                        ImGui::Text("No %s", texts.rangeLabel.c_str());
                    }
                }
                ImGui::EndTooltip();
            }
            if (!other) {
                ImGui::SetCursorScreenPos(p + ImVec2(47.3f, 4.f));
                ImGui::Text(" : %s", playlist.mmr.c_str());
                if (playlist.range != 0) {
                    ImGui::SetCursorScreenPos(p + ImVec2(47.3f, 4.f + 15.f));
                    ImGui::Text(" +/- %s", std::to_string(playlist.range).c_str());
                }
            }
            if (n > 1) {
                if (n != 2) {
                    ImGui::SetCursorScreenPos(ImVec2(ImGui::GetCursorScreenPos().x, p.y + 42.3f));
                }
                if (i + 1 < n) {
                    ImGui::NextColumn();
                }
            }
        }
        ImGui::EndGroup();
        ImGui::EndChild();
        ImGui::PopID();
        ImGui::SetCursorScreenPos(box + ImVec2(width, kRowHeight));
        nextCell(box, width);
    }

    cell = textCell(3, kShares[3] * w, joinNames(searcher.regions, texts.any), colors);
    nextCell(cell, kShares[3] * w);
    cell = textCell(4, kShares[4] * w, joinNames(searcher.languages, texts.any), colors);
    nextCell(cell, kShares[4] * w);

    // Voice chat.
    ImVec2 rowMax;
    {
        const float width = kShares[5] * w;
        ImGui::PushID(5);
        const ImVec2 box = ImGui::GetCursorScreenPos();
        ImGui::BeginChild("##element", ImVec2(width, kRowHeight), true, 0);
        ImGui::BeginGroup();
        ImDrawList* list = ImGui::GetWindowDrawList();
        fillCell(list, box, width, colors);
        std::size_t image = 0;
        if (searcher.voiceChat == "true") {
            image = 1;
        } else if (searcher.voiceChat == "false") {
            image = 2;
        }
        if (image < voiceChatImages.size()) {
            const ImVec2 at = box + ImVec2((width - 35.f) / 2.f, 2.5f);
            drawImage(list, voiceChatImages[image], at, at + ImVec2(35.f, 35.f));
        }
        ImGui::EndGroup();
        ImGui::EndChild();
        ImGui::PopID();
        rowMax = box + ImVec2(width, kRowHeight);
        ImGui::SetCursorScreenPos(rowMax);
    }
    ImGui::EndChild();

    // The row counts as hovered wherever the mouse is over it, cells included
    // (they are child windows of their own).
    const bool hovered = ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenOverlapped) &&
                         ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows) &&
                         ImGui::IsMouseHoveringRect(rowMin, rowMax, true);
    if (hovered) {
        uiState.hoveredRow = rowId;
    } else if (uiState.hoveredRow == rowId) {
        uiState.hoveredRow = 0;
    }
    if (hovered) {
        ImGui::GetWindowDrawList()->AddRectFilled(rowMin, rowMax, u32(colors.hover)); // the gaps between cells
        if (ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left)) {
            if (isOwnEntry) {
                ImGui::OpenPopup(texts.edit.c_str());
            } else {
                ImGui::OpenPopup(canRequestInvite ? "Request Invite" : "Don't Spam Invites");
                uiState.popupRow = uiState.currentRow;
            }
        }
    }

    if (isOwnEntry) {
        renderEditRegistrationPopup();
        return;
    }
    renderInvitePopups(*this, searcher);
}

void CRW::renderConfirmPopup(const char* id, const std::string& message, std::function<void()> onYes,
                             std::function<void()> onNo)
{
    if (!beginModal(id)) {
        return;
    }
    ImGui::TextUnformatted(message.c_str());
    ImGui::Separator();
    centerNextItem(208.f);
    ImGui::BeginGroup();
    if (ImGui::Button(texts.yes.c_str(), ImVec2(100, 25)) && onYes) {
        onYes();
    }
    ImGui::SameLine();
    if (ImGui::Button(texts.no.c_str(), ImVec2(100, 25)) && onNo) {
        onNo();
    }
    ImGui::EndGroup();
    ImGui::EndPopup();
}

namespace crw::ui {

void renderInvitePopups(CRW& plugin, Searcher& searcher)
{
    const std::string question = plugin.texts.confirmInvite + " " + searcher.creatorName + "?";
    plugin.renderConfirmPopup(
        "Request Invite", question,
        [&plugin, &searcher] {
            plugin.canRequestInvite = false;
            plugin.inviteTimer.start();
            // A copy: the list may be replaced before the game thread runs it.
            plugin.gameWrapper->Execute(
                [&plugin, invited = searcher](GameWrapper*) mutable { plugin.RequestInvite(invited); });
            ImGui::CloseCurrentPopup();
        },
        [] { ImGui::CloseCurrentPopup(); });
    okModal("Don't Spam Invites", plugin.texts.tooFastInvites);
}

void closeOrphanInvitePopups(const std::string& tooFastInvites)
{
    if (beginModal("Request Invite")) {
        ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
    }
    okModal("Don't Spam Invites", tooFastInvites);
}

} // namespace crw::ui
