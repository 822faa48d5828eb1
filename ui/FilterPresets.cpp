#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <string>

#include "plugin/CRW.h"
#include "plugin/Globals.h"

using namespace crw::ui;

void CRW::renderFilterPopup()
{
    if (!beginModal(texts.filter.c_str(), ImGuiWindowFlags_MenuBar | ImGuiWindowFlags_AlwaysAutoResize)) {
        return;
    }
    renderPresetsPopup(filterSettings);
    renderSearcherSettings("##Filter", filterSettings, false, false);
    const float available = ImGui::GetContentRegionAvail().x;

    // Reset touches the choices only; the list changes when they are applied.
    if (colorButton(texts.reset.c_str(), ImVec2(100, 25), 13.f, kBlue, kBlueHovered)) {
        crw::resetSettings(filterSettings);
    }
    ImGui::SameLine();
    centerNextItem(100.f, available);
    if (colorButton(texts.apply.c_str(), ImVec2(100, 25), 13.f, kGreen, kGreenHovered)) {
        gameWrapper->Execute([this](GameWrapper*) { ApplyFilters(); });
        ImGui::CloseCurrentPopup();
    }
    ImGui::SameLine();
    ImGui::SetCursorPosX(ImGui::GetWindowWidth() - 108);
    if (colorButton(texts.close.c_str(), ImVec2(100, 25), 13.f, kBlue, kBlueHovered)) {
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void CRW::renderPresetsPopup(crw::SearcherSettings& settings)
{
    if (!ImGui::BeginMenuBar()) {
        return;
    }
    if (ImGui::BeginMenu("Presets")) {
        if (ImGui::BeginMenu("Save Preset")) {
            ImGui::InputText("##presetName", crw::presetNameBuffer, sizeof(crw::presetNameBuffer), 0);
            ImGui::SameLine();
            if (ImGui::Button("Save")) {
                savePreset(std::string(crw::presetNameBuffer), settings);
                crw::presetNameBuffer[0] = '\0';
            }
            ImGui::EndMenu();
        }
        if (ImGui::BeginMenu("Load Preset")) {
            const std::vector<crw::PresetEntry> entries = listPresets();
            for (std::size_t i = 0; i < entries.size(); ++i) {
                // Two files may share a label; each entry keeps its own id.
                ImGui::PushID(static_cast<int>(i));
                if (ImGui::Selectable(entries[i].label.c_str(), false, 0, ImVec2(0, 0))) {
                    // Read on the game thread: the frame holds the state lock.
                    crw::SearcherSettings* target = &settings;
                    gameWrapper->Execute(
                        [this, path = entries[i].path, target](GameWrapper*) { loadPreset(path, *target); });
                }
                ImGui::PopID();
            }
            ImGui::EndMenu();
        }
        ImGui::EndMenu();
    }
    ImGui::EndMenuBar();
}
