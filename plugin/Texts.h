#pragma once
// Every caption of the window, one table per language.
#include <string>
#include <vector>

#include "plugin/Records.h"

namespace crw {

struct TextTable {
    std::string languageName;
    std::string languageLabel;
    std::string lastUpdate;
    std::string report;
    std::string credits;
    std::string filter;
    std::string create;
    std::string edit;
    std::string titleLabel;
    std::string creatorLabel;
    std::string playlistsLabel;
    std::string regionsLabel;
    std::string languagesLabel;
    std::string voiceChatLabel;
    std::string any;
    std::string rangeLabel;
    std::string reset;
    std::string confirm;
    std::string apply;
    std::string close;
    std::string cancel;
    std::string stopLabel;
    std::string updateChanges;
    std::string yes;
    std::string no;
    std::string titleEmpty;
    std::string selectPlaylist;
    std::string areYouSure;
    std::string nothingChanged;
    std::string confirmUpdate;
    std::string confirmStop;
    std::string confirmInvite;
    std::string helpImprove;
    std::string reportForm;
    std::string creditsMaker;
    std::string creditsImages;
    std::string creditsThanks;
    std::string howToUse;
    std::string searchHeading;
    std::string searchHelp;
    std::string filterHelp;
    std::string createHeading;
    std::string createHelp;
    std::string rangeHelp;
    std::string rangeExample;
    std::string rangeZero;
    std::string otherHelp;
    std::string voiceChatHelp;
    std::string optionalHelp;
    std::string tooFast;
    std::string tooFastInvites;
};

TextTable englishTextTable();
TextTable frenchTextTable();

// Fixed lists, never translated: these names travel to the server as they stand.
std::vector<PlaylistSetting> fixedPlaylists();
std::vector<NamedFlag> fixedRegions();
std::vector<NamedFlag> fixedLanguages();

// The maker, named in the window title and recognised in the list by unique id.
extern const char* const kMakerNickname;
extern const char* const kMakerIdString;

} // namespace crw
