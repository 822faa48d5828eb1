#pragma once
// Reading of JSON that comes from outside (server answers, sent bodies, preset
// files). JsonCpp throws on asString of objects and on member access of
// non-objects, so every access goes through these guards.
#include <cstdint>
#include <string>

#include <json/json.h>

#include "matching/JsonStream.h"

namespace crw::matching {

// Parses text with comments allowed; true only for one whole JSON document
// nested at most kMaxJsonDepth deep (none of ours nests past 4), comments
// included. On false,
// root is null: a cut, broken or too deep text yields nothing.
constexpr int kMaxJsonDepth = JsonStream::kMaxDepth;
bool parseStrict(const std::string& text, Json::Value& root);

// The member, or a null value when the key is missing or v is not an object.
const Json::Value& member(const Json::Value& v, const char* key);

// Strings as they are, numbers and booleans in their text form, anything else empty.
std::string textOf(const Json::Value& v);

// Leading white space, an optional sign and the longest run of digits; the
// rest is ignored. False when there are no digits or the value overflows.
bool parseInt32Prefix(const std::string& text, int32_t& out);

// Longest decimal prefix as strtof reads it. False when there is no numeric
// prefix or the value overflows a float.
bool parseFloatPrefix(const std::string& text, float& out);

} // namespace crw::matching
