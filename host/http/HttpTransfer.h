#pragma once
// One blocking HTTP transfer, the part of HttpService that differs by platform.
#include <cstddef>
#include <string>
#include <utility>

#include "bakkesmod/core/http_structs.h"

namespace crwhost::detail {

// Answers larger than this are refused rather than held in memory.
constexpr std::size_t kMaxResponseBytes = 32u * 1024u * 1024u;

// Returns the code and text the completion gets: 418 and the transport's
// error text when the transfer failed. Only http and https addresses.
std::pair<int, std::string> transfer(const CurlRequest& request, bool json, long timeoutMs);

} // namespace crwhost::detail
