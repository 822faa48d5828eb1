#pragma once
#include <functional>
#include <string>
#include <vector>

namespace crwhost {
class HostBackend;
}

class CVarWrapper {
public:
    CVarWrapper(crwhost::HostBackend* backend, std::string name);
    bool IsNull() const;
    int getIntValue();
    void setValue(int value);
    std::string getCVarName() const { return name_; }

private:
    crwhost::HostBackend* backend_;
    std::string name_;
};

class CVarManagerWrapper {
public:
    explicit CVarManagerWrapper(crwhost::HostBackend* backend);
    void log(std::string text);
    void registerNotifier(std::string name, std::function<void(std::vector<std::string>)> callback,
                          std::string description, unsigned char permissions);
    void executeCommand(std::string command, bool log = true);
    void setBind(std::string key, std::string command);
    CVarWrapper getCvar(std::string name);

private:
    crwhost::HostBackend* backend_;
};
