#include <dlfcn.h>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "bakkesmod/plugin/PluginSettingsWindow.h"
#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/pluginwindow.h"

using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::PluginInfo;

TEST(EntryPoints, LibraryExportsRecordAndHandle)
{
    void* lib = dlopen(CRW_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();

    auto* info = static_cast<PluginInfo*>(dlsym(lib, "exports"));
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

    auto getPlugin = reinterpret_cast<std::uintptr_t (*)()>(dlsym(lib, "getPlugin"));
    auto deleteMe = reinterpret_cast<void (*)()>(dlsym(lib, "deleteMe"));
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
    dlclose(lib);
}
