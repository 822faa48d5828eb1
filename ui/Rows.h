#pragma once
// Parts of a searcher row that the list also draws for a row out of view.
#include "plugin/Records.h"

class CRW;

namespace crw::ui {

// The "Request Invite" confirmation and "Don't Spam Invites" of a row, in
// the row's ID scope.
void renderInvitePopups(CRW& plugin, Searcher& searcher);
// For a row that is gone: its confirmation can no longer be answered, so it
// closes; the spam notice stays until "OK".
void closeOrphanInvitePopups(const std::string& tooFastInvites);

} // namespace crw::ui
