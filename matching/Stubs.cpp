// Placeholder bodies until the matching work lands.
#include <json/json.h>

#include "plugin/CRW.h"

void CRW::OnSearchersResult(std::map<std::string, float>, int, std::string, uint64_t) {}
std::vector<crw::PlaylistSetting> CRW::ParsePlaylists(const Json::Value&) { return {}; }
std::vector<std::string> CRW::ParseNameList(const Json::Value&) { return {}; }
void CRW::ClearSearchers() {}
crw::PlaylistImages CRW::imagesForPlaylist(const std::string&) const { return {}; }
bool CRW::isSearcherVisible(const crw::Searcher&, const std::map<std::string, float>&, std::string*) { return false; }
crw::Searcher CRW::searcherFromJson(const Json::Value&) { return {}; }
void CRW::ApplyFilters() {}
bool CRW::keywordMatches(const std::string&, const std::string&) { return true; }
std::string CRW::asciiLower(std::string text) { return text; }
void CRW::OnRegisterResult(int, std::string, std::string) {}
void CRW::OnUpdateResult(int, std::string, std::string) {}
void CRW::Stop() {}
void CRW::AskStillThere() {}
void CRW::ForceStop() {}
crw::Searcher CRW::searcherFromBody(const std::string&) { return {}; }
std::string CRW::buildPresetJson(const crw::SearcherSettings&) { return ""; }
void CRW::savePreset(std::string, const crw::SearcherSettings&) {}
void CRW::loadPreset(std::filesystem::path, crw::SearcherSettings&) {}
std::vector<crw::PlaylistSetting> CRW::parsePresetPlaylists(const Json::Value&) { return {}; }
std::vector<crw::NamedFlag> CRW::parsePresetFlags(const Json::Value&) { return {}; }
std::vector<crw::PresetEntry> CRW::listPresets() const { return {}; }
std::filesystem::path CRW::presetsFolder() const { return dataFolder / "presets"; }
