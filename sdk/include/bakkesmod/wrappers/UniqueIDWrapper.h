#pragma once
#include <string>

class UniqueIDWrapper {
public:
    UniqueIDWrapper() = default;
    explicit UniqueIDWrapper(std::string id) : id_(std::move(id)) {}
    std::string GetIdString() const { return id_; }

private:
    std::string id_;
};
