#pragma once
#include <filesystem>
#include <string>

namespace sandbox {

// Makes DIR/CRW/presets and fills DIR/CRW/images from the assets folder, copying
// only images that are missing (the player's own files are never overwritten).
// Returns false with error set when the folder cannot be made.
bool prepareDataFolder(const std::filesystem::path& dir, const std::filesystem::path& assets, std::string& error);

// The assets folder of this build, or beside the executable (../share/crewfinder/images).
std::filesystem::path defaultAssetsDir();

} // namespace sandbox
