// Placeholder bodies until the server-link work lands.
#include "plugin/CRW.h"

void CRW::CheckAPI() {}
void CRW::OnCheckAPIResult(int, std::string) {}
void CRW::GetSearchers() {}
void CRW::Register() {}
void CRW::UpdateRegistration() {}
void CRW::RequestInvite(crw::Searcher&) {}
void CRW::OnInviteResult(int, std::string) {}
std::string CRW::BuildRegistrationBody(crw::SearcherSettings&) { return ""; }
std::string CRW::reportedText(const std::string& response) const { return response; }
std::string CRW::errorText(int code, const std::string& tail) { return "ERROR " + std::to_string(code) + " | " + tail; }
