#pragma once
// Extra state of the plug-in object that belongs to ui/. It lives in CRW as a
// member and follows CRW's thread-safety rule (guarded by CRW::stateMutex).

namespace crw {

struct UiState {
};

} // namespace crw
