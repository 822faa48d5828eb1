#include "UiTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "plugin/Globals.h"

namespace crwtest {

UiFixture::UiFixture(bool acknowledgeNotice)
{
    resetBuffers();
    dir_ = makeTempDir("crw-ui");
    std::filesystem::create_directories(dir_ / "CRW" / "presets");
    if (acknowledgeNotice) {
        std::ofstream(dir_ / "CRW" / "config.json")
            << "{\"PluginVersion\":\"1.0\", \"HasSeeNewUpdateAlert\":\"true\", \"Language\":\"English\"}";
    }
    fixture_ = std::make_unique<PluginFixture>(dir_);
    host().httpOverride = [this](const CurlRequest& request, bool, crwhost::HttpCallback callback) {
        std::lock_guard<std::mutex> lock(httpMutex_);
        sent_.push_back(request);
        pending_.push_back(Pending{request, std::move(callback)});
    };
    plugin().OnOpen();
    driver_ = std::make_unique<crwui::UiDriver>(&plugin(), &plugin());
    driver_->frame(2);
}

UiFixture::~UiFixture()
{
    driver_.reset();
    host().drainGame();

    fixture_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void UiFixture::setSearchers(std::vector<crw::Searcher> list)
{
    locked([&](CRW& p) {
        p.allSearchers = list;
        p.searchers = std::move(list);
        ++p.searchersVersion;
        return 0;
    });
}

void UiFixture::setRegistered(const crw::Searcher& own)
{
    locked([&](CRW& p) {
        p.isRegistered = true;
        p.mySearcher = own;
        p.editSettings = p.registerSettings;
        p.editBaseline = p.registerSettings;
        return 0;
    });
}

static bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<CurlRequest> UiFixture::requests(const std::string& path)
{
    std::lock_guard<std::mutex> lock(httpMutex_);
    std::vector<CurlRequest> out;
    for (const auto& r : sent_) {
        if (endsWith(r.url, path)) {
            out.push_back(r);
        }
    }
    return out;
}

bool UiFixture::answer(const std::string& path, int code, const std::string& body)
{
    crwhost::HttpCallback callback;
    {
        std::lock_guard<std::mutex> lock(httpMutex_);
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (endsWith(it->request.url, path)) {
                callback = std::move(it->callback);
                pending_.erase(it);
                break;
            }
        }
    }
    if (!callback) {
        return false;
    }
    callback(code, body);
    return true;
}

std::vector<float> UiFixture::rowsWithText(const std::string& text)
{
    std::vector<float> out;
    for (const auto& t : ui().texts("##Searchers")) {
        if (t.text == text) {
            out.push_back(t.pos.y);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

crw::Searcher makeSearcher(const std::string& title, const std::string& name, const std::string& id)
{
    crw::Searcher s;
    s.title = title;
    s.creatorName = name;
    s.creatorIdString = id.empty() ? "Epic|" + name + "|0" : id;
    crw::PlaylistSetting p;
    p.name = "Ranked-2v2";
    p.mmr = "1200";
    s.playlists.push_back(p);
    s.regions = {"Europe"};
    s.languages = {"English"};
    s.voiceChat = "any";
    return s;
}

void resetBuffers()
{
    std::snprintf(crw::keyBindBuffer, sizeof(crw::keyBindBuffer), "F5");
    crw::presetNameBuffer[0] = '\0';
    crw::keywordBuffer[0] = '\0';
    crw::frenchUpdateNotice = false;
}

} // namespace crwtest
