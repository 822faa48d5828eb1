#include <cstring>
#include <memory>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>

#include "bakkesmod/plugin/PluginSettingsWindow.h"
#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/pluginwindow.h"

using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::PluginInfo;

namespace {

// The library as a host opens it: LoadLibraryW on Windows (crw.dll beside the
// test program), dlopen elsewhere.
class Library {
public:
    Library()
    {
#ifdef _WIN32
        std::wstring path(MAX_PATH, L'\0');
        path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
        path = path.substr(0, path.find_last_of(L'\\') + 1) + L"crw.dll";
        handle_ = LoadLibraryW(path.c_str());
        if (handle_ == nullptr) {
            error_ = "LoadLibraryW failed: " + std::to_string(GetLastError());
        }
#else
        handle_ = dlopen(CRW_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            error_ = dlerror();
        }
#endif
    }
    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    void* symbol(const char* name) const
    {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(handle_, name));
#else
        return dlsym(handle_, name);
#endif
    }
    // True when the library was unloaded.
    bool close()
    {
#ifdef _WIN32
        return FreeLibrary(handle_) != 0;
#else
        return dlclose(handle_) == 0;
#endif
    }

private:
#ifdef _WIN32
    HMODULE handle_ = nullptr;
#else
    void* handle_ = nullptr;
#endif
    std::string error_;
};

} // namespace

TEST(EntryPoints, LibraryExportsRecordAndHandle)
{
    Library lib;
    ASSERT_TRUE(lib.loaded()) << lib.error();

    auto* info = static_cast<PluginInfo*>(lib.symbol("exports"));
    ASSERT_NE(info, nullptr);
    // Read the record the way a host does: by offset and width.
    const auto* bytes = reinterpret_cast<const unsigned char*>(info);
    int32_t api;
    std::memcpy(&api, bytes + 0, 4);
    EXPECT_EQ(api, 95);
    const char* className = *reinterpret_cast<const char* const*>(bytes + 16);
    const char* pluginName = *reinterpret_cast<const char* const*>(bytes + 24);
    const char* version = *reinterpret_cast<const char* const*>(bytes + 32);
    uint32_t type;
    std::memcpy(&type, bytes + 40, 4);
    EXPECT_STREQ(className, "CRW");
    EXPECT_STREQ(pluginName, "CRW");
    EXPECT_STREQ(version, "1.0");
    EXPECT_EQ(type, 1u);
    EXPECT_NE(*reinterpret_cast<const char* const*>(bytes + 8), nullptr);

    auto getPlugin = reinterpret_cast<std::uintptr_t (*)()>(lib.symbol("getPlugin"));
    auto deleteMe = reinterpret_cast<void (*)()>(lib.symbol("deleteMe"));
    ASSERT_NE(getPlugin, nullptr);
    ASSERT_NE(deleteMe, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(info->initializeFunc), reinterpret_cast<void*>(getPlugin));
    EXPECT_EQ(reinterpret_cast<void*>(info->delFunc), reinterpret_cast<void*>(deleteMe));

    // deleteMe before any getPlugin does nothing.
    deleteMe();

    const std::uintptr_t first = getPlugin();
    const std::uintptr_t second = getPlugin();
    EXPECT_EQ(first, second);
    auto* handle = reinterpret_cast<std::shared_ptr<BakkesModPlugin>*>(first);
    ASSERT_TRUE(*handle);
    BakkesModPlugin* object = handle->get();
    // Only one object: a second getPlugin did not replace it, and the host
    // holds the only reference.
    EXPECT_EQ(handle->use_count(), 1);

    auto* window = dynamic_cast<BakkesMod::Plugin::PluginWindow*>(object);
    auto* settings = dynamic_cast<BakkesMod::Plugin::PluginSettingsWindow*>(object);
    ASSERT_NE(window, nullptr);
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(window->GetMenuName(), "CRW");
    EXPECT_EQ(settings->GetPluginName(), "CRW");
    EXPECT_EQ(window->GetMenuTitle(), "CRW v1.0 | Made By Nova Tamsin");
    EXPECT_TRUE(window->IsActiveOverlay());

    deleteMe();
    EXPECT_FALSE(*handle);
    deleteMe();
    EXPECT_FALSE(*handle);
    EXPECT_TRUE(lib.close());
}
