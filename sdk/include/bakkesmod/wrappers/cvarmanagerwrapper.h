#pragma once
#include <functional>
#include <string>
#include <vector>

#include "bakkesmod/wrappers/cvarwrapper.h"

namespace crwhost {
class HostBackend;
}

class CVarManagerWrapper {
public:
    explicit CVarManagerWrapper(crwhost::HostBackend* backend);
    void log(std::string text);
    // Two overloads, as in the host: a capture-less lambda matches both, so
    // callers pass a std::function or a lambda that captures.
    void registerNotifier(std::string cvar, void (*notifierFunc)(std::vector<std::string>), std::string description,
                          unsigned char permissions);
    void registerNotifier(std::string cvar, std::function<void(std::vector<std::string>)> notifierFunc,
                          std::string description, unsigned char permissions);
    void executeCommand(std::string command, bool log = true);
    void setBind(std::string key, std::string command);
    CVarWrapper getCvar(std::string name);

private:
    crwhost::HostBackend* backend_;
};
