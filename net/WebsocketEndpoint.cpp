// The WebSocket client: one connection slot, handlers on the I/O thread, and
// the hand-over to the game thread through the process-wide host handles.
#include "plugin/Prelude.h"

#include "net/WebsocketEndpoint.h"

#include <exception>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include <json/json.h>

#include "matching/JsonRead.h"
#include "net/ConnectionMetadata.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

namespace {

const char* const kInviteMarker = "{\"type\":\"InviteNotification\"";
const char* const kBadMessage = "Websocket Server: | Error: bad message, message is not a good json !";
constexpr auto kBadMessageInterval = std::chrono::seconds(1);

// A handler must never throw into websocketpp: the exception would leave the
// run loop and end the I/O thread.
template <typename F> void contained(const char* what, F&& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        crw::LOG("Websocket {} skipped : {}", what, e.what());
    } catch (...) {
        crw::LOG("Websocket {} skipped", what);
    }
}

void runCommand(const std::string& command)
{
    if (auto cvarManager = crw::globalCvarManager()) {
        cvarManager->executeCommand(command, true);
    }
}

} // namespace

connection_metadata::connection_metadata(websocketpp::connection_hdl hdl, std::shared_ptr<crw::StatusSignal> signal,
                                         int id)
    : m_hdl(std::move(hdl)), m_signal(std::move(signal)), m_id(id)
{
}

std::string connection_metadata::get_status() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_status;
}

std::string connection_metadata::get_error_reason() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_error_reason;
}

void connection_metadata::set_status(const std::string& status, const std::string* reason)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_status = status;
        if (reason != nullptr) {
            m_error_reason = *reason;
        }
    }
    if (m_signal) {
        m_signal->notify();
    }
}

void connection_metadata::on_open(client* c, websocketpp::connection_hdl hdl)
{
    contained("open", [&] {
        set_status("Open", nullptr);
        crw::LOG("Opened connection !");
        if (m_signal && m_signal->shuttingDown) {
            // Opened after the endpoint started going away: left open, it
            // would keep the I/O loop (and the join) alive.
            websocketpp::lib::error_code ec;
            c->close(hdl, websocketpp::close::status::going_away, "", ec);
        }
    });
}

void connection_metadata::on_fail(client* c, websocketpp::connection_hdl hdl)
{
    contained("fail", [&] {
        websocketpp::lib::error_code ec;
        client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
        const std::string reason = con ? con->get_ec().message() : ec.message();
        set_status("Failed", &reason);
        crw::LOG("Failed : {}", reason);
    });
}

void connection_metadata::on_close(client* c, websocketpp::connection_hdl hdl)
{
    contained("close", [&] {
        websocketpp::lib::error_code ec;
        client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
        websocketpp::close::status::value code = websocketpp::close::status::abnormal_close;
        std::string remoteReason;
        if (con) {
            code = con->get_remote_close_code();
            remoteReason = con->get_remote_close_reason();
            if (con->get_local_close_code() == websocketpp::close::status::message_too_big) {
                crw::LOG("Websocket frame over {} bytes refused : connection closed", websocket_endpoint::max_frame_bytes);
            }
        }
        const std::string reason = "close code: " + std::to_string(code) + " (" +
                                   websocketpp::close::status::get_string(code) + "), close reason: " + remoteReason;
        set_status("Closed", &reason);
        crw::LOG("Closed connection : {}", reason);
        const bool goingAway = m_signal && m_signal->shuttingDown;
        // A normal close ends the registration too when the server started it.
        if ((code != websocketpp::close::status::normal || !m_local_close) && !goingAway) {
            if (m_signal) {
                std::lock_guard<std::mutex> lock(m_signal->mutex);
                m_signal->badCloses.push_back(m_id);
            }
            runCommand("crw_ws_closedconnection_bad");
        }
    });
}

void connection_metadata::on_message(websocketpp::connection_hdl, client::message_ptr msg)
{
    if (!msg || msg->get_opcode() != websocketpp::frame::opcode::text) {
        return;
    }
    contained("message", [&] {
        const std::string& payload = msg->get_payload();
        crw::LOG("Message received : {}", crw::logPayload(payload));
        if (payload.find(kInviteMarker) != std::string::npos) {
            // Bounded twice: the frame by the socket's size limit, the nesting
            // here; a text that does not parse reads as empty.
            Json::Value root;
            crw::matching::parseStrict(payload, root);
            if (!root.isNull() && !root.isObject()) {
                crw::LOG("Websocket message skipped : not a JSON object");
                return;
            }
            const Json::Value& idValue = root["IdString"];
            const std::string id = idValue.isString() ? idValue.asString() : "";
            std::string why;
            if (!m_invites.admit(id, crw::InviteGuard::Clock::now(), why)) {
                crw::LOG("Invite dropped ({} bytes of id) : {}", id.size(), why);
                return;
            }
            if (auto game = crw::globalGameWrapper()) {
                game->Execute([id](GameWrapper* gw) { gw->GetFNameIndexByString("invite " + id); });
            }
        } else if (payload == kBadMessage) {
            // The notifier runs on the game thread and raises a popup: a
            // server repeating the text must not queue work per frame.
            const auto now = std::chrono::steady_clock::now();
            if (m_bad_message_runs == 0 || now - m_last_bad_message >= kBadMessageInterval) {
                m_last_bad_message = now;
                ++m_bad_message_runs;
                runCommand("crw_ws_badmessage");
            }
        }
    });
}

struct websocket_endpoint::Impl {
    client endpoint;
    std::shared_ptr<std::thread> thread;
    std::shared_ptr<crw::StatusSignal> signal = std::make_shared<crw::StatusSignal>();
    std::thread::id ioThread; // set before the thread starts, then constant
    // `connection` and `nextId` are guarded by `lock`; `started` belongs to the I/O thread.
    mutable std::mutex lock;
    connection_metadata::ptr connection;
    int nextId = 0;
    // Every connection this endpoint started, so that one an earlier connect
    // left open can still be ended at destruction.
    std::vector<websocketpp::connection_hdl> started;

    connection_metadata::ptr current() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return connection;
    }

    // Runs job on the I/O thread and returns its result, or fallback when the
    // thread does not answer in time (it only runs short handlers, so that
    // means it is gone).
    template <typename R, typename F> R onIoThread(F job, R fallback)
    {
        if (std::this_thread::get_id() == ioThread) {
            return job();
        }
        auto promise = std::make_shared<std::promise<R>>();
        std::future<R> result = promise->get_future();
        boost::asio::post(endpoint.get_io_service(), [promise, job]() mutable {
            try {
                promise->set_value(job());
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            crw::LOG("Websocket I/O thread did not answer");
            return fallback;
        }
        try {
            return result.get();
        } catch (const std::exception& e) {
            crw::LOG("Websocket error : {}", e.what());
        }
        return fallback;
    }
};

websocket_endpoint::websocket_endpoint() : impl_(std::make_unique<Impl>())
{
    client& c = impl_->endpoint;
    c.clear_access_channels(websocketpp::log::alevel::all);
    c.clear_error_channels(websocketpp::log::elevel::all);
    c.init_asio();
    c.set_max_message_size(max_frame_bytes);
    c.start_perpetual();
    std::promise<void> started;
    Impl* d = impl_.get();
    impl_->thread = std::make_shared<std::thread>([&c, d, &started] {
        d->ioThread = std::this_thread::get_id();
        started.set_value();
        for (;;) {
            try {
                c.run();
                return;
            } catch (const std::exception& e) {
                crw::LOG("Websocket I/O error : {}", e.what());
            } catch (...) {
                crw::LOG("Websocket I/O error");
            }
        }
    });
    started.get_future().wait();
}

websocket_endpoint::~websocket_endpoint()
{
    Impl& d = *impl_;
    d.signal->shuttingDown = true;
    cancel_waits();
    // Handed to the I/O thread before perpetual mode ends, so that the run
    // loop is still there to close what is open.
    boost::asio::post(d.endpoint.get_io_service(), [&d] {
        connection_metadata::ptr record = d.current();
        if (record && record->get_status() == "Open") {
            websocketpp::lib::error_code ec;
            d.endpoint.close(record->get_hdl(), websocketpp::close::status::going_away, "", ec);
            if (ec) {
                crw::LOG("Error closing connection : {}", ec.message());
            }
            crw::LOG("Closed connection");
        }
        for (const auto& hdl : d.started) {
            if (record && !hdl.owner_before(record->get_hdl()) && !record->get_hdl().owner_before(hdl)) {
                continue;
            }
            // Not open (or gone) gives an error here, which is fine.
            websocketpp::lib::error_code ec;
            d.endpoint.close(hdl, websocketpp::close::status::going_away, "", ec);
        }
    });
    d.endpoint.stop_perpetual();
    if (d.thread && d.thread->joinable()) {
        d.thread->join();
    }
}

int websocket_endpoint::connect(const std::string& uri)
{
    Impl& d = *impl_;
    return d.onIoThread<int>(
        [&d, uri] {
            websocketpp::lib::error_code ec;
            client::connection_ptr con = d.endpoint.get_connection(uri, ec);
            if (ec) {
                crw::LOG("Connect initialization error : {}", ec.message());
                return -1;
            }
            connection_metadata::ptr record;
            {
                std::lock_guard<std::mutex> guard(d.lock);
                record = std::make_shared<connection_metadata>(con->get_handle(), d.signal, ++d.nextId);
                d.connection = record;
            }
            std::vector<websocketpp::connection_hdl> alive;
            for (auto& hdl : d.started) {
                if (!hdl.expired()) {
                    alive.push_back(hdl);
                }
            }
            alive.push_back(con->get_handle());
            d.started.swap(alive);
            d.signal->notify(); // the current record changed

            client* c = &d.endpoint;
            using std::placeholders::_1;
            using std::placeholders::_2;
            con->set_open_handler(std::bind(&connection_metadata::on_open, record, c, _1));
            con->set_fail_handler(std::bind(&connection_metadata::on_fail, record, c, _1));
            con->set_close_handler(std::bind(&connection_metadata::on_close, record, c, _1));
            con->set_message_handler(std::bind(&connection_metadata::on_message, record, _1, _2));
            d.endpoint.connect(con);
            return 1;
        },
        -1);
}

std::shared_ptr<connection_metadata> websocket_endpoint::get_metadata() const { return impl_->current(); }

bool websocket_endpoint::send(std::string message)
{
    Impl& d = *impl_;
    auto record = d.current();
    if (!record) {
        crw::LOG("Error websocket connection is null !");
        return false;
    }
    return d.onIoThread<bool>(
        [&d, record, message] {
            websocketpp::lib::error_code ec;
            d.endpoint.send(record->get_hdl(), message, websocketpp::frame::opcode::text, ec);
            if (ec) {
                crw::LOG("Error sending message : {}", ec.message());
                return false;
            }
            return true;
        },
        false);
}

namespace {

// The checks the library makes before it writes a close frame, made here so
// that a close it would refuse is reported at once, without the I/O thread.
websocketpp::lib::error_code closeProblem(int code, const std::string& reason)
{
    namespace perr = websocketpp::processor::error;
    const auto value = static_cast<websocketpp::close::status::value>(code);
    if (websocketpp::close::status::reserved(value)) {
        return perr::make_error_code(perr::reserved_close_code);
    }
    if (websocketpp::close::status::invalid(value) && value != websocketpp::close::status::no_status) {
        return perr::make_error_code(perr::invalid_close_code);
    }
    if (value == websocketpp::close::status::no_status && !reason.empty()) {
        return perr::make_error_code(perr::reason_requires_code);
    }
    return {};
}

} // namespace

bool websocket_endpoint::close(int code, std::string reason)
{
    Impl& d = *impl_;
    auto record = d.current();
    if (!record) {
        crw::LOG("Error websocket connection is null !");
        return false;
    }
    websocketpp::lib::error_code problem = closeProblem(code, reason);
    if (!problem && record->get_status() != "Open") {
        problem = websocketpp::error::make_error_code(websocketpp::error::invalid_state);
    }
    if (problem) {
        crw::LOG("Error initiating close: {}", problem.message());
        return false;
    }
    // Handed over without waiting: callers hold the state lock, often in the
    // frame, and the I/O thread may be busy for a while.
    boost::asio::post(d.endpoint.get_io_service(), [&d, record, code, reason] {
        contained("close", [&] {
            record->mark_local_close();
            websocketpp::lib::error_code ec;
            d.endpoint.close(record->get_hdl(), static_cast<websocketpp::close::status::value>(code), reason, ec);
            if (ec) {
                // The connection ended first; its close handler has run.
                crw::LOG("Error initiating close: {}", ec.message());
            }
        });
    });
    crw::LOG("Websocket connection closed !");
    return true;
}

int websocket_endpoint::current_id() const
{
    auto record = impl_->current();
    return record ? record->get_id() : 0;
}

std::optional<int> websocket_endpoint::take_bad_close()
{
    std::lock_guard<std::mutex> guard(impl_->signal->mutex);
    auto& queue = impl_->signal->badCloses;
    if (queue.empty()) {
        return std::nullopt;
    }
    const int id = queue.front();
    queue.pop_front();
    return id;
}

void websocket_endpoint::cancel_waits()
{
    {
        std::lock_guard<std::mutex> guard(impl_->signal->mutex);
        impl_->signal->cancelled = true;
    }
    impl_->signal->changed.notify_all();
}

std::string websocket_endpoint::current_status() const
{
    auto record = impl_->current();
    return record ? record->get_status() : "";
}

std::string websocket_endpoint::wait_while_connecting(std::chrono::milliseconds timeout) const
{
    // Handlers and connect() notify the signal after each change, so the
    // predicate is re-read only when something happened.
    std::unique_lock<std::mutex> guard(impl_->signal->mutex);
    impl_->signal->changed.wait_for(guard, timeout,
                                    [this] { return impl_->signal->cancelled || current_status() != "Connecting"; });
    return current_status();
}
