// The player's own registration: its completions, the stop, and the
// still-there question with its time-out.
#include "plugin/Prelude.h"

#include <chrono>

#include "matching/JsonRead.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace {

const char* const kUnregisteredReason = "Manage Registration : Client unregistered";

// The library gives up on a connection attempt well within this; the cap only
// keeps a stuck attempt from holding the completion thread for ever.
constexpr auto kOpenWaitStep = std::chrono::seconds(1);
constexpr auto kOpenWaitLimit = std::chrono::seconds(30);

} // namespace

crw::Searcher CRW::searcherFromBody(const std::string& body)
{
    return searcherFromJson(crw::matching::parseLenient(body));
}

void CRW::OnRegisterResult(int code, std::string result, std::string body)
{
    std::unique_lock<std::recursive_mutex> lock(stateMutex);
    const std::string reported = reportedText(result);
    crw::LOG("Registration result : code {} | \n{}", code, reported);
    creatingPopup.message = reported;
    creatingPopup.open = true;
    if (code != 200) {
        ClearSearchers();
        return;
    }

    const int id = endpoint.connect(websocketUrl);
    if (id == -1) {
        return;
    }
    crw::LOG("Created connection with id {}", id);

    // The wait blocks on the endpoint's condition, never on our lock: the
    // frame, the timers and the still-there question keep running meanwhile.
    lock.unlock();
    const auto giveUp = std::chrono::steady_clock::now() + kOpenWaitLimit;
    std::string status = endpoint.current_status();
    while (status != "Open") {
        crw::LOG("status : {}", status);
        if (status != "Connecting" || std::chrono::steady_clock::now() >= giveUp) {
            break;
        }
        status = endpoint.wait_while_connecting(kOpenWaitStep);
    }

    if (status != "Open") {
        // The server forgets the pending registration on its own.
        lock.lock();
        crw::LOG("Could not open the connection to the server : {}", status);
        creatingPopup.message = "The connection to the server could not be opened !";
        creatingPopup.open = true;
        return;
    }

    crw::LOG("sending ws msg");
    endpoint.send(body);
    crw::LOG("ws msg sent");

    lock.lock();
    crw::Searcher own = searcherFromBody(body);
    isRegistered = true;
    mySearcher = std::move(own);
    editSettings = registerSettings;
    editBaseline = editSettings;
    gameWrapper->Execute([this](GameWrapper*) { GetSearchers(); });
    stillThereTimer.start();
}

void CRW::OnUpdateResult(int code, std::string result, std::string body)
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const std::string reported = reportedText(result);
    crw::LOG("Update Registration result : code {} | \n{}", code, reported);
    updatePopup.message = reported;
    updatePopup.open = true;
    if (code != 200) {
        ClearSearchers();
        return;
    }
    mySearcher = searcherFromBody(body);
    editBaseline = editSettings;
    gameWrapper->Execute([this](GameWrapper*) { GetSearchers(); });
    // Already running while registered: an update does not postpone the question.
    stillThereTimer.start();
}

void CRW::Stop()
{
    // Held throughout, so a second Stop (say "No" during ForceStop) sees what the first left.
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (!isRegistered) {
        return;
    }
    const std::string status = endpoint.current_status();
    if (status.empty()) {
        crw::LOG("Error websocket connection is null !");
        return;
    }

    auto stopLocally = [this] {
        isRegistered = false;
        stoppingPopup.message = "You have been removed !";
        stoppingPopup.open = true;
        stillThereCheck.open = false;
        stillThereTimer.stop();
        stillThereTimeoutTimer.stop();
        ClearSearchers();
    };

    if (status == "Open") {
        if (endpoint.close(1000, kUnregisteredReason)) {
            stopLocally();
        } else {
            stoppingPopup.message = "Error when stopping !";
            stoppingPopup.open = true;
            stillThereTimer.start();
            stillThereTimeoutTimer.stop();
            crw::LOG("Error when stopping !");
            ClearSearchers();
        }
    } else if (status == "Closed") {
        crw::LOG("Connection already closed !");
        // The server ended the socket with 1000: the listing is gone already,
        // so finish the stop here instead of leaving the player stuck registered.
        stopLocally();
    }
}

void CRW::AskStillThere()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (!isRegistered) {
        return;
    }
    crw::LOG("Do you still want to be on the plugin ?");
    stillThereCheck.message = "Do you still want to be on the plugin ?";
    stillThereCheck.open = true;
    stillThereTimer.stop();
    // A running time-out is left alone, so repeated questions do not extend the minute.
    stillThereTimeoutTimer.start();
    showToast("CRW", "Please confirm on the plugin interface that you still want to be on the plugin", 6.0f, "default");
}

void CRW::ForceStop()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    crw::LOG("Forcing to stop : timeout !");
    Stop();
    stopTimeoutPopup.message = "Timeout : you have been removed !";
    stopTimeoutPopup.open = true;
}
