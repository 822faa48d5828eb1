// The player's own registration: its completions, the stop, and the
// still-there question with its time-out.
#include "plugin/Prelude.h"

#include <chrono>
#include <optional>

#include "matching/JsonStream.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

namespace {

const char* const kUnregisteredReason = "Manage Registration : Client unregistered";

// The library gives up on a connection attempt well within this; the cap only
// keeps a stuck attempt from holding the completion thread for ever.
constexpr auto kOpenWaitStep = std::chrono::seconds(1);
constexpr auto kOpenWaitLimit = std::chrono::seconds(30);

} // namespace

crw::Searcher CRW::searcherFromBody(const std::string& body)
{
    // The same reading as a "/list" entry; a body cut short keeps what came before the cut.
    crw::matching::JsonStream json(body);
    std::string problem;
    std::size_t droppedRows = 0;
    crw::Searcher searcher = readSearcher(json, problem, droppedRows);
    if (droppedRows > 0) {
        crw::LOG("{} playlist rows dropped : more than {}, or one already read", droppedRows, kMaxPlaylistRows);
    }
    return searcher;
}

namespace {

// Counts a completion that waits without stateMutex, so that the destructor
// waits for it; false when the object is already going away.
class WaitScope {
public:
    explicit WaitScope(CRW::Lifetime& life) : life_(life)
    {
        std::lock_guard<std::mutex> lock(life_.mutex);
        entered_ = !life_.closing;
        if (entered_) {
            ++life_.busy;
        }
    }
    ~WaitScope()
    {
        if (!entered_) {
            return;
        }
        std::lock_guard<std::mutex> lock(life_.mutex);
        if (--life_.busy == 0) {
            life_.idle.notify_all();
        }
    }
    bool entered() const { return entered_; }
    bool closing() const
    {
        std::lock_guard<std::mutex> lock(life_.mutex);
        return life_.closing;
    }

private:
    CRW::Lifetime& life_;
    bool entered_ = false;
};

} // namespace

bool CRW::beginRegistration()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (matchingState.registering || isRegistered) {
        // "Create" stays open after "Yes": a second confirmation must not
        // start a second socket that nothing would track.
        crw::LOG("Registration already {} : request not sent", isRegistered ? "active" : "in progress");
        return false;
    }
    matchingState.registering = true;
    return true;
}

void CRW::OnRegisterResult(int code, std::string result, std::string body)
{
    WaitScope scope(lifetime);
    std::unique_lock<std::recursive_mutex> lock(stateMutex);
    struct Done {
        CRW& p;
        ~Done() { p.matchingState.registering = false; } // runs with the lock held
    };
    const std::string reported = reportedText(result);
    crw::LOG("Registration result : code {} | \n{}", code, crw::logPayload(reported));
    creatingPopup.message = crw::popupText(reported);
    creatingPopup.open = true;
    if (code != 200) {
        Done done{*this};
        ClearSearchers();
        return;
    }
    if (!scope.entered()) {
        Done done{*this};
        return;
    }

    // The socket is the I/O thread's: connect, the wait and the send all run
    // without our lock, so frames, timers and the question go on meanwhile.
    lock.unlock();
    const int id = endpoint.connect(websocketUrl);
    if (id == -1) {
        lock.lock();
        Done done{*this};
        return;
    }
    crw::LOG("Created connection with id {}", id);
    const int connection = endpoint.current_id();

    const auto giveUp = std::chrono::steady_clock::now() + kOpenWaitLimit;
    std::string status = endpoint.current_status();
    while (status != "Open") {
        crw::LOG("status : {}", status);
        if (status != "Connecting" || std::chrono::steady_clock::now() >= giveUp || scope.closing()) {
            break;
        }
        status = endpoint.wait_while_connecting(kOpenWaitStep);
    }

    bool sent = false;
    if (status == "Open") {
        crw::LOG("sending ws msg");
        sent = endpoint.send(body);
        crw::LOG("ws msg sent");
    }

    lock.lock();
    Done done{*this};
    if (scope.closing()) {
        return;
    }
    // Registered only on the socket we opened, still open after the frame
    // went out: a failed send or a close in between leaves nothing on the server.
    if (!sent || endpoint.current_id() != connection || endpoint.current_status() != "Open") {
        // The server forgets the pending registration on its own.
        crw::LOG("Could not open the connection to the server : {}", endpoint.current_status());
        creatingPopup.message = "The connection to the server could not be opened !";
        creatingPopup.open = true;
        if (endpoint.current_id() == connection && endpoint.current_status() == "Open") {
            endpoint.close(1000, kUnregisteredReason);
        }
        return;
    }

    crw::Searcher own = searcherFromBody(body);
    isRegistered = true;
    matchingState.registeredConnection = connection;
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
    crw::LOG("Update Registration result : code {} | \n{}", code, crw::logPayload(reported));
    updatePopup.message = crw::popupText(reported);
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
        matchingState.registeredConnection = 0;
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

void CRW::OnConnectionClosedBadly()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    // The id of the closed connection, when the WebSocket's close handler ran
    // the notifier (a player may type it too).
    const std::optional<int> closed = endpoint.take_bad_close();
    if (closed && (!isRegistered || *closed != matchingState.registeredConnection)) {
        crw::LOG("Close of connection {} ignored : not the current registration", *closed);
        return;
    }
    isRegistered = false;
    // Nothing is left to answer or to time out.
    stillThereCheck.open = false;
    stillThereTimer.stop();
    stillThereTimeoutTimer.stop();
    showToast("CRW", "An error occured, you are no longer registered on the plugin !", 3.5f, "default");
    CheckAPI();
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
