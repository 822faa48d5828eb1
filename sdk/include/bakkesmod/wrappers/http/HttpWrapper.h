#pragma once
#include <functional>
#include <string>

#include "bakkesmod/core/http_structs.h"

// Like the host's header, this one expects bakkesmodsdk.h to be included
// before it (for the import marker).
class BAKKESMOD_PLUGIN_IMPORT HttpWrapper {
public:
    // The callback runs exactly once, on a thread of the host's choosing.
    // A transfer that never reached the server completes with code 418.
    static void SendCurlRequest(CurlRequest request, std::function<void(int code, std::string body)> callback);
    // Adds "Content-Type: application/json" and "Accept: application/json" when they are not set.
    static void SendCurlJsonRequest(CurlRequest request, std::function<void(int code, std::string body)> callback);
};
