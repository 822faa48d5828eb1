#include "plugin/Prelude.h"

#include "ui/Widgets.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "bakkesmod/wrappers/ImageWrapper.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "ui/Links.h"
#include "ui/Rows.h"

using namespace crw::ui;

void CRW::Render()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const bool wasOpen = isWindowOpen;
    // The close button clears isWindowOpen; the host's menu must close with it.
    auto closeHostMenuIfClosed = [&] {
        if (wasOpen && !isWindowOpen) {
            cvarManager->executeCommand("togglemenu " + GetMenuName(), true);
        }
    };

    ImGui::SetNextWindowSizeConstraints(ImVec2(1705, 600), ImVec2(1920, 1080));
    if (!ImGui::Begin(windowTitle.c_str(), &isWindowOpen, ImGuiWindowFlags_MenuBar)) {
        ImGui::End();
        closeHostMenuIfClosed();
        return;
    }

    if (!HasSeeNewUpdateAlert) {
        ImGui::OpenPopup("New Update");
        HasSeeNewUpdateAlert = true;
    }
    renderUpdateNotice();

    if (howToUseRequested) {
        ImGui::OpenPopup(texts.howToUse.c_str());
        howToUseRequested = false;
    }
    renderHowToUse();

    if (ImGui::BeginMenuBar()) {
        if (ImGui::BeginMenu(texts.languageLabel.c_str())) {
            if (ImGui::Selectable("English")) {
                setLanguage(false);
            }
            if (ImGui::Selectable("French")) {
                setLanguage(true);
            }
            ImGui::EndMenu();
        }
        if (ImGui::Selectable(texts.howToUse.c_str(), false, 0, ImGui::CalcTextSize(texts.howToUse.c_str()))) {
            howToUseRequested = true;
        }
        if (ImGui::Selectable(texts.lastUpdate.c_str(), false, 0, ImGui::CalcTextSize(texts.lastUpdate.c_str()))) {
            HasSeeNewUpdateAlert = false;
        }
        if (ImGui::BeginMenu(texts.report.c_str())) {
            ImGui::TextUnformatted(texts.helpImprove.c_str());
            ImGui::TextUnformatted(texts.reportForm.c_str());
            linkWidget(crw::links::kFeedbackForm);
            ImGui::EndMenu();
        }
        if (ImGui::BeginMenu(texts.credits.c_str())) {
            ImGui::TextUnformatted(texts.creditsMaker.c_str());
            linkWidget(crw::links::kMakerSocial);
            linkWidget(crw::links::kMakerVideos);
            ImGui::Separator();
            ImGui::TextUnformatted(texts.creditsImages.c_str());
            ImGui::SameLine();
            linkWidget(crw::links::kCatalogue);
            ImGui::TextUnformatted(texts.creditsThanks.c_str());
            ImGui::EndMenu();
        }
        ImGui::EndMenuBar();
    }

    renderCRW();
    ImGui::End();
    closeHostMenuIfClosed();
}

void CRW::renderCRW()
{
    std::string heading = "Crewfinder";
    if (!searchers.empty()) {
        heading += " (" + std::to_string(searchers.size()) + ")";
    }
    drawText(ImGui::GetWindowDrawList(), heading, ImGui::GetCursorScreenPos() + ImVec2(0, 10), 20.f, kWhite);

    ImGui::SetCursorPosX(ImGui::GetWindowWidth() - 572);
    if (isLoadingSearchers) {
        refreshAngle += 1.0f;
    } else {
        refreshAngle = 0.f;
    }
    if (rotatingImageButton("##Refresh", texture(refreshImage), ImVec2(40, 40), 5.f, rgba(255, 255, 255, 200), kBlue,
                            kBlueHovered, refreshAngle)) {
        if (canRefresh) {
            canRefresh = false;
            refreshTimer.start();
            gameWrapper->Execute([this](GameWrapper*) { GetSearchers(); });
        } else {
            ImGui::OpenPopup("Don't Spam");
        }
    }
    okModal("Don't Spam", texts.tooFast);

    ImGui::SameLine();
    if (colorButton(texts.filter.c_str(), ImVec2(100, 40), 17.f, kBlue, kBlueHovered)) {
        ImGui::OpenPopup(texts.filter.c_str());
    }
    renderFilterPopup();

    ImGui::SameLine();
    ImGui::InputTextMultiline("##filterTitleBuff", crw::keywordBuffer, sizeof(crw::keywordBuffer), ImVec2(200, 40), 0);

    ImGui::SameLine();
    if (isRegistered) {
        if (colorButton(texts.edit.c_str(), ImVec2(200, 40), 17.f, kGreen, kGreenHovered)) {
            ImGui::OpenPopup(texts.edit.c_str());
        }
        renderEditRegistrationPopup();
    } else {
        if (colorButton(texts.create.c_str(), ImVec2(200, 40), 17.f, kBlue, kBlueHovered)) {
            ImGui::OpenPopup(texts.create.c_str());
        }
        renderRegisterPopup();
    }

    renderSearcherList();

    for (crw::MessagePopup* popup : {&creatingPopup, &stoppingPopup, &updatePopup, &requestInvitePopup,
                                     &getSearchersPopup, &checkAPIPopup, &wsClientBadMessagePopup, &stopTimeoutPopup}) {
        renderMessagePopup(*popup);
    }
    renderStillThereCheck();
    renderPopupQueue();
}

void CRW::renderMessagePopup(crw::MessagePopup& popup)
{
    // Queued with its text as it is now; shown by renderPopupQueue in turn.
    if (popup.open) {
        uiState.popupQueue.push_back({popup.title, popup.message, false});
        popup.open = false;
    }
}

void CRW::renderStillThereCheck()
{
    auto& queue = uiState.popupQueue;
    auto isCheck = [](const crw::UiState::QueuedPopup& q) { return q.isCheck; };
    const bool queued = std::any_of(queue.begin(), queue.end(), isCheck);
    if (stillThereCheck.open && !queued) {
        queue.push_back({stillThereCheck.title, "", true});
    } else if (!stillThereCheck.open && queued) {
        // Answered or ended before its turn came (the shown one closes itself).
        const bool shownCheck = uiState.popupShown && queue.front().isCheck;
        queue.erase(std::remove_if(queue.begin() + (shownCheck ? 1 : 0), queue.end(), isCheck), queue.end());
    }
}

void CRW::renderPopupQueue()
{
    auto& queue = uiState.popupQueue;
    if (uiState.popupShown && !ImGui::IsPopupOpen(queue.front().title.c_str())) {
        queue.pop_front(); // closed by its button
        uiState.popupShown = false;
    }
    // Only when nothing is open at this level: opening would close it.
    if (!uiState.popupShown && !queue.empty() && !crw::ui::anyPopupOpenHere()) {
        ImGui::OpenPopup(queue.front().title.c_str());
        uiState.popupShown = true;
    }
    if (!uiState.popupShown) {
        return;
    }
    const crw::UiState::QueuedPopup& front = queue.front();
    if (front.isCheck) {
        renderCheckModal();
    } else {
        okModal(front.title.c_str(), front.message);
    }
}

void CRW::renderCheckModal()
{
    crw::ConfirmPopup& check = stillThereCheck;
    if (!beginModal(check.title.c_str())) {
        return;
    }
    // Answered, or stopped elsewhere: close it in ImGui too, so the next
    // question opens afresh.
    if (!check.open) {
        ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
        return;
    }
    ImGui::TextUnformatted(check.message.c_str());
    ImGui::Separator();
    ImGui::BeginGroup();
    // Copies: an action may replace the record's callables.
    if (ImGui::Button("Yes", ImVec2(100, 25))) {
        auto onYes = check.onYes;
        if (onYes) {
            onYes();
        }
    }
    ImGui::SameLine();
    if (ImGui::Button("No", ImVec2(100, 25))) {
        auto onNo = check.onNo;
        if (onNo) {
            onNo();
        }
    }
    ImGui::EndGroup();
    if (!check.open) {
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void CRW::renderSearcherList()
{
    ImGui::BeginChild("##Searchers", ImVec2(0, 0), false, 0);
    renderSearcherListHeader();
    if (isRegistered) {
        uiState.currentRow = -1;
        renderSearcher(mySearcher, true);
    }

    // Lower-cased titles only change with the list; the rows shown only with
    // the list, the keyword or the own entry.
    if (lowerTitlesVersion != searchersVersion || lowerTitles.size() != searchers.size()) {
        lowerTitles.clear();
        lowerTitles.reserve(searchers.size());
        for (const crw::Searcher& s : searchers) {
            lowerTitles.push_back(asciiLower(s.title));
        }
        lowerTitlesVersion = searchersVersion;
        uiState.rowsValid = false;
    }
    crw::UiState& ui = uiState;
    const std::string keyword = asciiLower(crw::keywordBuffer);
    if (!ui.rowsValid || ui.rowsVersion != lowerTitlesVersion || ui.rowsKeyword != keyword ||
        ui.rowShown.size() != searchers.size() || ui.rowsOwnEntry != mySearcher) {
        ui.rows.clear();
        ui.rowShown.assign(searchers.size(), 0);
        for (std::size_t i = 0; i < searchers.size(); ++i) {
            if (searchers[i] == mySearcher) {
                continue;
            }
            if (keyword.empty() || keywordMatches(lowerTitles[i], keyword)) {
                ui.rows.push_back(static_cast<int>(i));
                ui.rowShown[i] = 1;
            }
        }
        ui.rowsVersion = lowerTitlesVersion;
        ui.rowsKeyword = keyword;
        ui.rowsOwnEntry = mySearcher;
        ui.rowsValid = true;
    }

    ui.popupRowDrawn = false;
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(ui.rows.size()), 40.f + ImGui::GetStyle().ItemSpacing.y);
    while (clipper.Step()) {
        for (int r = clipper.DisplayStart; r < clipper.DisplayEnd; ++r) {
            const int i = ui.rows[static_cast<std::size_t>(r)];
            ImGui::PushID(i);
            ui.currentRow = i;
            renderSearcher(searchers[static_cast<std::size_t>(i)], false);
            // After drawing: the row may have opened its popups just now.
            ui.popupRowDrawn = ui.popupRowDrawn || i == ui.popupRow;
            ImGui::PopID();
        }
    }
    clipper.End();
    ui.currentRow = -1;

    // A row scrolled out of view keeps its open invite popups.
    if (ui.popupRow >= 0 && !ui.popupRowDrawn) {
        ImGui::PushID(ui.popupRow);
        if (!ImGui::IsPopupOpen("Request Invite") && !ImGui::IsPopupOpen("Don't Spam Invites")) {
            ui.popupRow = -1;
        } else if (static_cast<std::size_t>(ui.popupRow) < ui.rowShown.size() &&
                   ui.rowShown[static_cast<std::size_t>(ui.popupRow)]) {
            ui.currentRow = ui.popupRow;
            renderInvitePopups(*this, searchers[static_cast<std::size_t>(ui.popupRow)]);
            ui.currentRow = -1;
        } else {
            closeOrphanInvitePopups(texts.tooFastInvites);
        }
        ImGui::PopID();
    }
    ImGui::EndChild();
}
