#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <string>

#include "plugin/CRW.h"

using namespace crw::ui;

namespace {

constexpr std::size_t kOtherRow = 9; // "Other" is the tenth row of the fixed list
const ImVec4 kRed = rgba(179, 31, 0, 140);
const ImVec4 kRedHovered = rgba(230, 31, 0, 200);

bool otherEnabled(const crw::SearcherSettings& settings)
{
    return settings.playlists.size() > kOtherRow && settings.playlists[kOtherRow].enabled;
}

bool hasTitle(const crw::SearcherSettings& settings) { return settings.title[0] != '\0'; }

bool hasPlaylist(const crw::SearcherSettings& settings)
{
    for (const auto& p : settings.playlists) {
        if (p.enabled) {
            return true;
        }
    }
    return false;
}

} // namespace

void CRW::renderRegisterPopup()
{
    if (!beginModal(texts.create.c_str(), ImGuiWindowFlags_MenuBar | ImGuiWindowFlags_AlwaysAutoResize)) {
        return;
    }
    renderPresetsPopup(registerSettings);
    renderSearcherSettings("##Register", registerSettings, true, true);
    const float available = ImGui::GetContentRegionAvail().x;

    if (ImGui::Button(texts.reset.c_str(), ImVec2(100, 25))) {
        crw::resetSettings(registerSettings);
    }
    ImGui::SameLine();
    centerNextItem(100.f, available);
    pushGreenButton();
    const bool confirm = ImGui::Button(texts.confirm.c_str(), ImVec2(100, 25));
    popGreenButton();
    if (confirm) {
        if (!hasTitle(registerSettings)) {
            ImGui::OpenPopup("Create Title Error");
        } else if (!hasPlaylist(registerSettings)) {
            ImGui::OpenPopup("Create Playlists Error");
        } else {
            ImGui::OpenPopup("Create Confirmation");
        }
    }
    okModal("Create Title Error", texts.titleEmpty);
    okModal("Create Playlists Error", texts.selectPlaylist);
    renderConfirmPopup(
        "Create Confirmation", texts.areYouSure,
        [this] {
            gameWrapper->Execute([this](GameWrapper*) { Register(); });
            ImGui::CloseCurrentPopup();
        },
        [] { ImGui::CloseCurrentPopup(); });

    ImGui::SameLine();
    ImGui::SetCursorPosX(ImGui::GetWindowWidth() - 108);
    if (colorButton(texts.close.c_str(), ImVec2(100, 25), 13.f, kBlue, kBlueHovered)) {
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void CRW::renderEditRegistrationPopup()
{
    if (!beginModal(texts.edit.c_str(), ImGuiWindowFlags_MenuBar | ImGuiWindowFlags_AlwaysAutoResize)) {
        return;
    }
    renderPresetsPopup(editSettings);
    renderSearcherSettings("##Edit", editSettings, true, true);
    const float available = ImGui::GetContentRegionAvail().x;

    if (colorButton(texts.reset.c_str(), ImVec2(100, 25), 13.f, kBlue, kBlueHovered)) {
        crw::resetSettings(editSettings);
    }
    ImGui::SameLine();
    centerNextItem(208.f, available);
    pushGreenButton();
    const bool update = ImGui::Button(texts.updateChanges.c_str(), ImVec2(100, 25));
    popGreenButton();
    if (update) {
        if (!hasTitle(editSettings)) {
            ImGui::OpenPopup("Edit Title Error");
        } else if (!hasPlaylist(editSettings)) {
            ImGui::OpenPopup("Edit Playlists Error");
        } else if (crw::settingsEqual(editSettings, editBaseline)) {
            ImGui::OpenPopup("Edit Error");
        } else {
            ImGui::OpenPopup("Edit Confirmation");
        }
    }
    okModal("Edit Title Error", texts.titleEmpty);
    okModal("Edit Playlists Error", texts.selectPlaylist);
    okModal("Edit Error", texts.nothingChanged);
    renderConfirmPopup(
        "Edit Confirmation", texts.confirmUpdate,
        [this] {
            gameWrapper->Execute([this](GameWrapper*) { UpdateRegistration(); });
            ImGui::CloseCurrentPopup();
        },
        [] { ImGui::CloseCurrentPopup(); });

    ImGui::SameLine();
    if (colorButton(texts.stopLabel.c_str(), ImVec2(100, 25), 13.f, kRed, kRedHovered)) {
        ImGui::OpenPopup("Stop Confirmation");
    }
    renderConfirmPopup(
        "Stop Confirmation", texts.confirmStop,
        [this] {
            Stop();
            ImGui::CloseCurrentPopup();
        },
        [] { ImGui::CloseCurrentPopup(); });

    ImGui::SameLine();
    ImGui::SetCursorPosX(ImGui::GetWindowWidth() - 108);
    if (colorButton(texts.cancel.c_str(), ImVec2(100, 25), 13.f, kBlue, kBlueHovered)) {
        editSettings = editBaseline;
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void CRW::renderSearcherSettings(const char* id, crw::SearcherSettings& settings, bool showRanges, bool showTitle)
{
    ImGui::BeginChild(id, ImVec2(900, showRanges ? 480 : 457), false, 0);

    // No other playlist can stay chosen together with "Other".
    if (otherEnabled(settings)) {
        for (auto& p : settings.playlists) {
            if (p.name != "Other") {
                p.enabled = false;
            }
        }
    }

    const float boxHeight = scaledSize(texts.titleLabel, 16.f).y + 45.f;
    if (showTitle) {
        centerNextItem(469.f);
        ImGui::PushStyleColor(ImGuiCol_ChildBg, kBoxBackground);
        ImGui::BeginChild("##Title", ImVec2(400, boxHeight), true, 0);
        ImGui::PopStyleColor();
        centerNextItem(scaledSize(texts.titleLabel, 16.f).x);
        ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 6);
        scaledText(texts.titleLabel, 16.f);
        ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x);
        ImGui::InputText("##titleBuff", settings.title, sizeof(settings.title), 0);
        ImGui::EndChild();
        ImGui::SameLine();
    } else {
        centerNextItem(61.f);
    }

    ImGui::PushStyleColor(ImGuiCol_ChildBg, kBoxBackground);
    ImGui::BeginChild("##VoiceChat", ImVec2(61, boxHeight), true, 0);
    ImGui::PopStyleColor();
    voiceChatWidget(voiceChatImages, ImVec2(45, 45), settings.voiceChat, texts.voiceChatLabel);
    ImGui::EndChild();

    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 10);
    const float width = ImGui::GetContentRegionAvail().x - 16.f;
    centerNextItem(width);
    renderSection("Playlists", showRanges ? 147.f : 124.f, width, [&] {
        auto& rows = settings.playlists;
        const std::size_t n = rows.size();
        // A preset may bring no rows at all; columns need at least one.
        if (n > 1) {
            ImGui::Columns(static_cast<int>(n), "##PlaylistsColumns", false);
        }
        for (std::size_t i = 0; i < n; ++i) {
            crw::PlaylistSetting& row = rows[i];
            const bool isOther = row.name == "Other";
            ImGui::PushID(row.name.c_str());
            centerNextItem(60.f);
            const crw::PlaylistImages images = imagesForPlaylist(row.name);
            const bool changed = imageCheckbox(row.enabled, images.image, images.greyedImage, ImVec2(60, 60));
            const bool hovered = ImGui::IsItemHovered();
            if (changed && otherEnabled(settings) && !isOther) {
                ImGui::OpenPopup("Other Selected");
            }
            if (hovered) {
                ImGui::BeginTooltip();
                ImGui::TextUnformatted(row.name.c_str());
                ImGui::EndTooltip();
            }
            if (otherEnabled(settings)) {
                okModal("Other Selected", "You can't select the playlists when \"Other\" is selected !");
            }
            if (showRanges && !isOther) {
                centerNextItem(45.f);
                ImGui::SetNextItemWidth(45.f);
                ImGui::InputInt("##Range", &row.range, 0);
                if (ImGui::IsItemHovered()) {
                    ImGui::BeginTooltip();
                    ImGui::TextUnformatted(texts.rangeLabel.c_str());
                    ImGui::EndTooltip();
                }
            }
            ImGui::PopID();
            if (i + 1 < n) {
                ImGui::NextColumn();
            }
        }
    });

    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 10);
    ImGui::BeginChild("##RegionAndLanguages", ImVec2(ImGui::GetContentRegionAvail().x, 240), false, 0);
    ImGui::Columns(2, "##RegionAndLanguagesColumns", false);
    auto flagList = [](std::vector<crw::NamedFlag>& flags) {
        for (crw::NamedFlag& flag : flags) {
            checkboxItem(flag.name, ImVec2(20, 20), 13.f, flag.enabled, kWhite);
        }
    };
    renderSection(texts.regionsLabel, 240.f, ImGui::GetContentRegionAvail().x, [&] { flagList(settings.regions); });
    ImGui::NextColumn();
    renderSection(texts.languagesLabel, 240.f, ImGui::GetContentRegionAvail().x, [&] { flagList(settings.languages); });
    ImGui::EndChild();

    ImGui::EndChild();
}
