#pragma once
#include <map>
#include <string>

// One HTTP request as the host's HTTP service takes it.
struct CurlRequest {
    std::string url;
    std::string verb;
    std::map<std::string, std::string> headers;
    std::string body;
};
