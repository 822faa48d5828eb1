#pragma once
#include <string>

#include "bakkesmod/wrappers/WrapperStructs.h"

namespace crwhost {
class HostBackend;
}

// One host console variable. The stand-in's variables hold integers: text is
// read as a number and a colour is not stored.
class CVarWrapper {
public:
    CVarWrapper(crwhost::HostBackend* backend, std::string name);
    bool IsNull();
    int getIntValue();
    void setValue(std::string value);
    void setValue(int value);
    void setValue(float value);
    void setValue(LinearColor value);
    std::string getCVarName() { return name_; }

private:
    crwhost::HostBackend* backend_;
    std::string name_;
};
