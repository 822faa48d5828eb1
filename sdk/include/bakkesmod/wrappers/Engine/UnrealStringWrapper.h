#pragma once
#include <string>

class UnrealStringWrapper {
public:
    UnrealStringWrapper() = default;
    explicit UnrealStringWrapper(std::string text) : text_(std::move(text)) {}
    std::string ToString() { return text_; }
    bool IsNull() { return false; }

private:
    std::string text_;
};
