#include "PluginLoader.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>

#include "SandboxHost.h"

namespace sandbox {

namespace {

std::string text(const char* s, size_t max = 256)
{
    return s == nullptr ? std::string() : std::string(s, strnlen(s, max));
}

} // namespace

std::string defaultPluginPath(const std::string& buildPath)
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto beside = exe.parent_path() / "libcrw.so";
        if (std::filesystem::exists(beside, ec)) {
            return beside.string();
        }
    }
    if (!buildPath.empty() && std::filesystem::exists(buildPath, ec)) {
        return buildPath;
    }
    return {};
}

PluginLoader::~PluginLoader() { unload(); }

bool PluginLoader::open(const std::string& path, std::string& error)
{
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error = "cannot open the plug-in library " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    info_ = static_cast<BakkesMod::Plugin::PluginInfo*>(dlsym(library_, "exports"));
    if (info_ == nullptr) {
        error = path + " is not a plug-in: it has no \"exports\" record";
        dlclose(library_);
        library_ = nullptr;
        return false;
    }
    record_.apiVersion = info_->apiBuildVersion;
    record_.className = text(info_->className);
    record_.pluginName = text(info_->pluginName);
    record_.pluginVersion = text(info_->pluginVersion);
    record_.pluginType = info_->pluginType;
    if (record_.apiVersion != kRequiredApiVersion) {
        error = path + " was built for plug-in API version " + std::to_string(record_.apiVersion) +
                "; this host supports version " + std::to_string(kRequiredApiVersion);
        dlclose(library_);
        library_ = nullptr;
        info_ = nullptr;
        return false;
    }
    if (info_->initializeFunc == nullptr || info_->delFunc == nullptr) {
        error = path + ": the \"exports\" record has no getPlugin or deleteMe";
        dlclose(library_);
        library_ = nullptr;
        info_ = nullptr;
        return false;
    }
    return true;
}

bool PluginLoader::load(std::string& error)
{
    if (info_ == nullptr) {
        error = "no plug-in library is open";
        return false;
    }
    bool ok = false;
    const auto job = host_.post([&] {
        const std::uintptr_t address = info_->initializeFunc();
        auto* handle = reinterpret_cast<std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>*>(address);
        if (handle == nullptr || !*handle) {
            return;
        }
        plugin_ = *handle;
        plugin_->cvarManager = host_.cvarManager;
        plugin_->gameWrapper = host_.gameWrapper;
        window_ = dynamic_cast<BakkesMod::Plugin::PluginWindow*>(plugin_.get());
        settings_ = dynamic_cast<BakkesMod::Plugin::PluginSettingsWindow*>(plugin_.get());
        if (window_ != nullptr) {
            host_.setPluginMenuName(window_->GetMenuName());
        }
        plugin_->onLoad();
        ok = true;
    });
    host_.waitGame(job);
    if (!ok) {
        error = "getPlugin returned no plug-in object";
    }
    return ok;
}

void PluginLoader::unload()
{
    if (library_ == nullptr) {
        return;
    }
    window_ = nullptr;
    settings_ = nullptr;
    host_.drainHttp();
    host_.forgetPluginCallbacks();
    host_.setPluginGate(false);
    // Jobs queued meanwhile still find the object alive; what they send is dropped.
    host_.waitGame(host_.post([] {}));
    host_.drainHttp();
    auto* info = info_;
    // The object may be destroyed here (when we hold the last reference), so on the game thread.
    host_.waitGame(host_.post([this, info] {
        if (plugin_) {
            plugin_->onUnload();
        }
        info->delFunc();
        plugin_.reset();
    }));
    dlclose(library_);
    library_ = nullptr;
    info_ = nullptr;
    host_.setPluginGate(true);
}

} // namespace sandbox
