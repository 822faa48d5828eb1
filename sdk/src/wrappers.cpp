#include <atomic>
#include <cstdlib>

#include "bakkesmod/plugin/bakkesmodsdk.h"
#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/ImageWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "bakkesmod/wrappers/http/HttpWrapper.h"
#include "crwhost/HostBackend.h"

namespace crwhost {
namespace {
std::atomic<HostBackend*> g_backend{nullptr};
}
void SetHostBackend(HostBackend* backend) { g_backend.store(backend); }
HostBackend* GetHostBackend() { return g_backend.load(); }
} // namespace crwhost

using crwhost::GetHostBackend;

namespace {
// Tells the host about a call it allows on its game thread only.
void gameCall(crwhost::HostBackend* backend, const char* call)
{
    if (backend) {
        backend->gameThreadCall(call);
    }
}
void storeInt(crwhost::HostBackend* backend, const std::string& name, int value)
{
    if (backend && backend->hasCvar(name)) {
        backend->setCvarInt(name, value);
    }
}
} // namespace

// CVarWrapper
CVarWrapper::CVarWrapper(crwhost::HostBackend* backend, std::string name) : backend_(backend), name_(std::move(name)) {}
bool CVarWrapper::IsNull() { return backend_ == nullptr || !backend_->hasCvar(name_); }
int CVarWrapper::getIntValue()
{
    gameCall(backend_, "CVarWrapper::getIntValue");
    return IsNull() ? 0 : backend_->getCvarInt(name_);
}
void CVarWrapper::setValue(int value)
{
    gameCall(backend_, "CVarWrapper::setValue");
    storeInt(backend_, name_, value);
}
void CVarWrapper::setValue(float value)
{
    gameCall(backend_, "CVarWrapper::setValue");
    if (value > -2147483648.f && value < 2147483648.f) {
        storeInt(backend_, name_, static_cast<int>(value));
    }
}
void CVarWrapper::setValue(std::string value)
{
    gameCall(backend_, "CVarWrapper::setValue");
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (end != value.c_str() && number >= -2147483647L - 1 && number <= 2147483647L) {
        storeInt(backend_, name_, static_cast<int>(number));
    }
}
void CVarWrapper::setValue(LinearColor) { gameCall(backend_, "CVarWrapper::setValue"); }

// CVarManagerWrapper
CVarManagerWrapper::CVarManagerWrapper(crwhost::HostBackend* backend) : backend_(backend) {}
void CVarManagerWrapper::log(std::string text)
{
    if (backend_) {
        backend_->log(text);
    }
}
void CVarManagerWrapper::registerNotifier(std::string name, void (*callback)(std::vector<std::string>),
                                          std::string description, unsigned char permissions)
{
    registerNotifier(std::move(name), std::function<void(std::vector<std::string>)>(callback), std::move(description),
                     permissions);
}
void CVarManagerWrapper::registerNotifier(std::string name, std::function<void(std::vector<std::string>)> callback,
                                          std::string description, unsigned char permissions)
{
    gameCall(backend_, "CVarManagerWrapper::registerNotifier");
    if (backend_) {
        backend_->registerNotifier(name, std::move(callback), description, permissions);
    }
}
void CVarManagerWrapper::executeCommand(std::string command, bool log)
{
    if (backend_) {
        backend_->executeCommand(command, log);
    }
}
void CVarManagerWrapper::setBind(std::string key, std::string command)
{
    gameCall(backend_, "CVarManagerWrapper::setBind");
    if (backend_) {
        backend_->setBind(key, command);
    }
}
CVarWrapper CVarManagerWrapper::getCvar(std::string name)
{
    gameCall(backend_, "CVarManagerWrapper::getCvar");
    return CVarWrapper(backend_, std::move(name));
}

// GameWrapper
GameWrapper::GameWrapper(crwhost::HostBackend* backend) : backend_(backend) {}
void GameWrapper::Execute(std::function<void(GameWrapper*)> theLambda)
{
    if (backend_) {
        backend_->execute([this, fn = std::move(theLambda)]() { fn(this); });
    }
}
void GameWrapper::HookEvent(std::string eventName, std::function<void(std::string)> callback)
{
    gameCall(backend_, "GameWrapper::HookEvent");
    if (backend_) {
        backend_->hookEvent(eventName, std::move(callback));
    }
}
void GameWrapper::Toast(std::string title, std::string text, std::string texture, float timeout, uint8_t toastType,
                        float width, float height)
{
    gameCall(backend_, "GameWrapper::Toast");
    if (backend_) {
        backend_->toast(title, text, texture, timeout, toastType, width, height);
    }
}
#ifdef __cpp_lib_filesystem
std::filesystem::path GameWrapper::GetDataFolder()
{
    gameCall(backend_, "GameWrapper::GetDataFolder");
    return backend_ ? backend_->dataFolder() : std::filesystem::path();
}
#endif
UniqueIDWrapper GameWrapper::GetUniqueID()
{
    gameCall(backend_, "GameWrapper::GetUniqueID");
    return UniqueIDWrapper(backend_ ? backend_->uniqueIdString() : "");
}
UnrealStringWrapper GameWrapper::GetPlayerName()
{
    gameCall(backend_, "GameWrapper::GetPlayerName");
    return UnrealStringWrapper(backend_ ? backend_->playerName() : "");
}
MMRWrapper GameWrapper::GetMMRWrapper()
{
    gameCall(backend_, "GameWrapper::GetMMRWrapper");
    return MMRWrapper(backend_);
}
int GameWrapper::GetFNameIndexByString(std::string name)
{
    gameCall(backend_, "GameWrapper::GetFNameIndexByString");
    return backend_ ? backend_->fnameIndexByString(name) : 0;
}

// MMRWrapper
float MMRWrapper::GetPlayerMMR(UniqueIDWrapper playerID, int playlistID)
{
    gameCall(backend_, "MMRWrapper::GetPlayerMMR");
    return backend_ ? backend_->playerMMR(playerID.GetIdString(), playlistID) : 0.f;
}

// HttpWrapper
void HttpWrapper::SendCurlRequest(CurlRequest request, std::function<void(int, std::string)> callback)
{
    if (auto* backend = GetHostBackend()) {
        backend->sendHttp(std::move(request), std::move(callback), false);
    } else if (callback) {
        callback(418, "no host HTTP service");
    }
}
void HttpWrapper::SendCurlJsonRequest(CurlRequest request, std::function<void(int, std::string)> callback)
{
    if (request.headers.find("Content-Type") == request.headers.end()) {
        request.headers["Content-Type"] = "application/json";
    }
    if (request.headers.find("Accept") == request.headers.end()) {
        request.headers["Accept"] = "application/json";
    }
    if (auto* backend = GetHostBackend()) {
        backend->sendHttp(std::move(request), std::move(callback), true);
    } else if (callback) {
        callback(418, "no host HTTP service");
    }
}

// ImageWrapper
ImageWrapper::ImageWrapper(std::filesystem::path path, bool canvasLoad, bool ImGuiLoad)
{
    if (auto* backend = GetHostBackend()) {
        handle_ = backend->imageCreate(path, canvasLoad, ImGuiLoad);
    }
}
ImageWrapper::~ImageWrapper()
{
    if (auto* backend = GetHostBackend(); backend && handle_ != 0) {
        backend->imageRelease(handle_);
    }
}
void* ImageWrapper::GetImGuiTex()
{
    auto* backend = GetHostBackend();
    return (backend && handle_ != 0) ? backend->imageTexture(handle_) : nullptr;
}
bool ImageWrapper::IsLoadedForImGui() { return GetImGuiTex() != nullptr; }
