#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <mutex>
#include <string>

#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "ui/Links.h"

using namespace crw::ui;

void CRW::RenderSettings()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (ImGui::Button("Open Plugin Window")) {
        gameWrapper->Execute(
            [this](GameWrapper*) { cvarManager->executeCommand("togglemenu " + GetMenuName(), true); });
    }
    ImGui::Separator();
    ImGui::TextUnformatted(
        "Set A Bind To Open The Window : (you can find the bind in the \"bindings\" tab of bakkesmod)");
    ImGui::InputText("##KeyBindInput", crw::keyBindBuffer, sizeof(crw::keyBindBuffer), 0);

    ImGui::SetNextWindowPos(ImVec2(ImGui::GetWindowWidth() / 2.f, ImGui::GetWindowHeight() / 2.f), ImGuiCond_Appearing,
                            ImVec2(0.5f, 0.5f));
    if (ImGui::BeginPopupModal("BindSet", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("Open plugin window : %s", crw::keyBindBuffer);
        ImGui::NewLine();
        if (ImGui::Button("OK", ImVec2(100, 25))) {
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }
    if (ImGui::Button("Set Bind")) {
        gameWrapper->Execute([this](GameWrapper*) { setKeyBind(); });
        ImGui::OpenPopup("BindSet");
    }
    ImGui::Separator();
    ImGui::TextUnformatted(englishTexts.creditsMaker.c_str());
}

void CRW::setKeyBind()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const std::string key = crw::keyBindBuffer;
    const std::string menu = GetMenuName();
    cvarManager->setBind(key, "togglemenu " + menu);
    crw::LOG("New key bind set : {} -> togglemenu {}", key, menu);
}

void CRW::renderUpdateNotice()
{
    if (!beginModal("New Update")) {
        return;
    }
    ImGui::Checkbox("French", &crw::frenchUpdateNotice);
    ImGui::NewLine();

    const std::string changelog = "Changelog v" + pluginVersion;
    const char* release = "Release Version";
    centerNextItem(ImGui::CalcTextSize(changelog.c_str()).x + 8.f + ImGui::CalcTextSize(release).x);
    ImGui::TextUnformatted(changelog.c_str());
    underlineLastItem(kWhite);
    ImGui::SameLine();
    ImGui::TextUnformatted(release);

    // The notice has its own language switch, independent of the window's.
    const bool french = crw::frenchUpdateNotice;
    const crw::TextTable& t = french ? frenchTexts : englishTexts;
    auto text = [](const std::string& s) { ImGui::TextUnformatted(s.c_str()); };
    auto heading = [](const char* s) {
        ImGui::TextUnformatted(s);
        underlineLastItem(kWhite);
    };

    ImGui::NewLine();
    text(french ? "Crewfinder (CRW) est un plugin pour trouver des personnes avec qui jouer rapidement et facilement."
                : "Crewfinder (CRW) is a plugin to find people to play with quickly and easily.");
    ImGui::TextUnformatted("Demo :");
    ImGui::SameLine();
    linkWidget(crw::links::kDemoVideo);
    ImGui::NewLine();
    heading(french ? "Comment l'utiliser :" : "How to use :");
    ImGui::NewLine();
    heading(french ? "Rechercher :" : "Search :");
    text(t.searchHelp);
    text(t.filterHelp);
    ImGui::NewLine();
    heading(french ? "Creer :" : "Create :");
    text(t.createHelp);
    text(t.rangeHelp);
    text(t.rangeExample);
    text(t.rangeZero);
    ImGui::NewLine();
    text(t.otherHelp);
    text(t.voiceChatHelp);
    text(t.optionalHelp);
    ImGui::NewLine();
    ImGui::NewLine();
    text(french ? "Tout retour est apprecie. Si vous avez rencontre des problemes ou si vous avez des suggestions, "
                  "merci de remplir ce petit formulaire : "
                : "Any feedback is appreciated. If you had any issues or if you have suggestions, feel free to "
                  "complete this form : ");
    ImGui::SameLine();
    linkWidget(crw::links::kFeedbackForm);

    ImGui::NewLine();
    ImGui::NewLine();
    centerNextItem(100.f);
    if (ImGui::Button("OK", ImVec2(100, 25))) {
        HasSeeNewUpdateAlert = true;
        saveConfig();
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void CRW::renderHowToUse()
{
    if (!beginModal(texts.howToUse.c_str())) {
        return;
    }
    auto text = [](const std::string& s) { ImGui::TextUnformatted(s.c_str()); };
    auto heading = [](const std::string& s) {
        ImGui::TextUnformatted(s.c_str());
        underlineLastItem(kWhite);
    };
    heading(texts.howToUse + " :");
    ImGui::NewLine();
    heading(texts.searchHeading);
    text(texts.searchHelp);
    text(texts.filterHelp);
    ImGui::NewLine();
    heading(texts.createHeading);
    text(texts.createHelp);
    text(texts.rangeHelp);
    text(texts.rangeExample);
    text(texts.rangeZero);
    ImGui::NewLine();
    text(texts.otherHelp);
    text(texts.voiceChatHelp);
    text(texts.optionalHelp);
    ImGui::NewLine();
    heading("Demo :");
    ImGui::SameLine();
    linkWidget(crw::links::kDemoVideo);
    ImGui::NewLine();
    centerNextItem(100.f);
    if (ImGui::Button("OK", ImVec2(100, 25))) {
        howToUseRequested = false;
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}
