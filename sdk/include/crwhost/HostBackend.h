#pragma once
// What a host implements so that the SDK wrappers reach real services.
// The sandbox host and the test host each install one.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bakkesmod/core/http_structs.h"

namespace crwhost {

using NotifierCallback = std::function<void(std::vector<std::string>)>;
using HttpCallback = std::function<void(int code, std::string body)>;

class HostBackend {
public:
    virtual ~HostBackend() = default;

    // Console. Every call may come from any thread.
    virtual void log(const std::string& text) = 0;
    virtual void registerNotifier(const std::string& name, NotifierCallback callback, const std::string& description,
                                  unsigned char permissions) = 0;
    virtual void executeCommand(const std::string& command, bool log) = 0;
    virtual void setBind(const std::string& key, const std::string& command) = 0;
    virtual bool hasCvar(const std::string& name) = 0;
    virtual int getCvarInt(const std::string& name) = 0;
    virtual void setCvarInt(const std::string& name, int value) = 0;

    // Game.
    virtual void execute(std::function<void()> job) = 0;
    virtual void hookEvent(const std::string& eventName, std::function<void(std::string)> callback) = 0;
    virtual void toast(const std::string& title, const std::string& text, const std::string& texture, float timeout,
                       unsigned char toastType, float width, float height) = 0;
    virtual std::filesystem::path dataFolder() = 0;
    virtual std::string uniqueIdString() = 0;
    virtual std::string playerName() = 0;
    virtual float playerMMR(const std::string& uniqueId, int playlistId) = 0;
    virtual int fnameIndexByString(const std::string& text) = 0;

    // HTTP: the callback runs exactly once. json is true for SendCurlJsonRequest.
    virtual void sendHttp(CurlRequest request, HttpCallback callback, bool json) = 0;

    // Called by the wrappers before each call the host allows on its game
    // thread only: every GameWrapper and MMRWrapper call but Execute, console
    // variables, notifiers and binds. log, executeCommand, Execute, HTTP and
    // images may come from any thread. A host that enforces the rule checks
    // the caller's thread here.
    virtual void gameThreadCall(const char* call) {}

    // Images: returns a non-zero handle; texture stays null until the host has loaded it.
    virtual unsigned long long imageCreate(const std::filesystem::path& path, bool canvasLoad, bool imguiLoad) = 0;
    virtual void* imageTexture(unsigned long long handle) = 0;
    virtual void imageRelease(unsigned long long handle) = 0;
};

// The backend reached by the static HttpWrapper calls and by ImageWrapper.
// A host sets it before loading a plug-in and clears it after unloading.
void SetHostBackend(HostBackend* backend);
HostBackend* GetHostBackend();

} // namespace crwhost
