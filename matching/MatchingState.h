#pragma once
// Extra state of the plug-in object that belongs to matching/. It lives in CRW as a
// member and follows CRW's thread-safety rule (guarded by CRW::stateMutex).

namespace crw {

struct MatchingState {
    bool registering = false;     // from Register until its completion ends
    int registeredConnection = 0; // the endpoint's id of the registration's socket
};

} // namespace crw
