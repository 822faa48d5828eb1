// Placeholder bodies until the interface work lands.
#include <imgui.h>

#include "plugin/CRW.h"

void CRW::Render() {}
void CRW::RenderSettings() {}
void CRW::renderCRW() {}
void CRW::renderSearcherList() {}
void CRW::renderMessagePopup(crw::MessagePopup&) {}
void CRW::renderStillThereCheck() {}
bool CRW::colorButton(const char*, const ImVec2&, float, const ImVec4&, const ImVec4&) { return false; }
bool CRW::rotatingImageButton(const char*, void*, const ImVec2&, float, const ImVec4&, const ImVec4&, const ImVec4&,
                              float)
{
    return false;
}
void CRW::centerNextItem(float, float) {}
void CRW::renderSearcherListHeader() {}
void CRW::renderSearcher(crw::Searcher&, bool) {}
void CRW::renderConfirmPopup(const char*, const std::string&, std::function<void()>, std::function<void()>) {}
void CRW::renderRegisterPopup() {}
void CRW::renderEditRegistrationPopup() {}
void CRW::renderSearcherSettings(const char*, crw::SearcherSettings&, bool, bool) {}
void CRW::renderFilterPopup() {}
void CRW::renderPresetsPopup(crw::SearcherSettings&) {}
void CRW::setKeyBind() {}
void CRW::renderUpdateNotice() {}
void CRW::renderHowToUse() {}
void CRW::linkWidget(const std::string&) {}
void CRW::underlineLastItem(const ImVec4&) {}
