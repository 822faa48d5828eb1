#pragma once
// Build settings shared by every SDK header: the API version a plug-in is
// built for and the export/import markers of the two libraries.

#define BAKKESMOD_PLUGIN_API_VERSION 95

#if defined(_WIN32)
#define BAKKESMOD_PLUGIN_EXPORT __declspec(dllexport)
#ifdef CRW_BUILDING_SDK // the SDK library itself exports what plug-ins import
#define BAKKESMOD_PLUGIN_IMPORT __declspec(dllexport)
#else
#define BAKKESMOD_PLUGIN_IMPORT __declspec(dllimport)
#endif
#else
#define BAKKESMOD_PLUGIN_EXPORT __attribute__((visibility("default")))
#define BAKKESMOD_PLUGIN_IMPORT __attribute__((visibility("default")))
#endif
