#include "DataFolder.h"

namespace fs = std::filesystem;

namespace sandbox {

fs::path defaultAssetsDir()
{
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto installed = exe.parent_path().parent_path() / "share" / "crewfinder" / "images";
        if (fs::is_directory(installed, ec)) {
            return installed;
        }
    }
#ifdef CRW_SOURCE_ASSETS
    return CRW_SOURCE_ASSETS;
#else
    return {};
#endif
}

bool prepareDataFolder(const fs::path& dir, const fs::path& assets, std::string& error)
{
    std::error_code ec;
    const fs::path crw = dir / "CRW";
    fs::create_directories(crw / "presets", ec);
    if (ec) {
        error = "cannot create " + (crw / "presets").string() + ": " + ec.message();
        return false;
    }
    const fs::path images = crw / "images";
    fs::create_directories(images, ec);
    if (ec) {
        error = "cannot create " + images.string() + ": " + ec.message();
        return false;
    }
    if (assets.empty() || !fs::is_directory(assets, ec)) {
        error = "no images folder at " + assets.string();
        return false;
    }
    for (auto it = fs::recursive_directory_iterator(assets, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path relative = fs::relative(it->path(), assets, ec);
        if (ec) {
            break;
        }
        const fs::path target = images / relative;
        if (it->is_directory(ec)) {
            fs::create_directories(target, ec);
        } else if (it->path().extension() == ".png" && !fs::exists(target, ec)) {
            fs::copy_file(it->path(), target, ec);
        }
        if (ec) {
            error = "cannot copy " + it->path().string() + " to " + target.string() + ": " + ec.message();
            return false;
        }
    }
    if (ec) {
        error = "cannot read " + assets.string() + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace sandbox
