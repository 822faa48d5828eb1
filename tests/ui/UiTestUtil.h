#pragma once
// A loaded plug-in on the test host, its window open, driven headlessly.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "TestHost.h"
#include "UiDriver.h"
#include "plugin/CRW.h"

namespace crwtest {

using namespace std::chrono_literals;

class UiFixture {
public:
    // The update notice is acknowledged in config.json unless asked otherwise,
    // so it does not cover the window.
    explicit UiFixture(bool acknowledgeNotice = true);
    ~UiFixture();

    TestHost& host() { return fixture_->host(); }
    CRW& plugin() { return fixture_->plugin(); }
    crwui::UiDriver& ui() { return *driver_; }
    const std::filesystem::path& dataDir() const { return dir_; }

    // Runs f with the plug-in's state lock held.
    template <typename F> auto locked(F f)
    {
        std::lock_guard<std::recursive_mutex> lock(plugin().stateMutex);
        return f(plugin());
    }
    // Replaces the shown list as the list completion would.
    void setSearchers(std::vector<crw::Searcher> list);
    // Registers the player locally with this entry, without the server.
    void setRegistered(const crw::Searcher& own);

    // HTTP requests are held here instead of going out; answer() completes them.
    struct Pending {
        CurlRequest request;
        crwhost::HttpCallback callback;
    };
    std::vector<CurlRequest> requests(const std::string& path); // those whose URL ends with path
    bool answer(const std::string& path, int code, const std::string& body);

    // The vertical positions at which a text is drawn in the list, top first.
    std::vector<float> rowsWithText(const std::string& text);

private:
    std::mutex httpMutex_;
    std::vector<Pending> pending_;
    std::vector<CurlRequest> sent_;
    std::filesystem::path dir_;
    std::unique_ptr<PluginFixture> fixture_;
    std::unique_ptr<crwui::UiDriver> driver_;
};

crw::Searcher makeSearcher(const std::string& title, const std::string& name, const std::string& id = "");

// Resets the process-wide widget buffers between tests.
void resetBuffers();

} // namespace crwtest
