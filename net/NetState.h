#pragma once
// Extra state of the plug-in object that belongs to net/. It lives in CRW as a
// member and follows CRW's thread-safety rule (guarded by CRW::stateMutex).

namespace crw {

struct NetState {
};

} // namespace crw
