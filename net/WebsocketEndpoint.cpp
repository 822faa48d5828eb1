// The WebSocket client: one connection slot, handlers on the I/O thread, and
// the hand-over to the game thread through the process-wide host handles.
#include "plugin/Prelude.h"

#include "net/WebsocketEndpoint.h"

#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include <json/json.h>

#include "net/ConnectionMetadata.h"
#include "plugin/Globals.h"

namespace {

const char* const kInviteMarker = "{\"type\":\"InviteNotification\"";
const char* const kBadMessage = "Websocket Server: | Error: bad message, message is not a good json !";

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

connection_metadata::connection_metadata(websocketpp::connection_hdl hdl, std::shared_ptr<crw::StatusSignal> signal)
    : m_hdl(std::move(hdl)), m_signal(std::move(signal))
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
        }
        const std::string reason = "close code: " + std::to_string(code) + " (" +
                                   websocketpp::close::status::get_string(code) + "), close reason: " + remoteReason;
        set_status("Closed", &reason);
        crw::LOG("Closed connection : {}", reason);
        const bool goingAway = m_signal && m_signal->shuttingDown;
        if (code != websocketpp::close::status::normal && !goingAway) {
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
        crw::LOG("Message received : {}", payload);
        if (payload.find(kInviteMarker) != std::string::npos) {
            Json::Value root;
            Json::Reader reader;
            reader.parse(payload, root, true); // a text that does not parse reads as empty
            if (!root.isNull() && !root.isObject()) {
                crw::LOG("Websocket message skipped : not a JSON object");
                return;
            }
            const std::string id = root["IdString"].asString();
            if (auto game = crw::globalGameWrapper()) {
                game->Execute([id](GameWrapper* gw) { gw->GetFNameIndexByString("invite " + id); });
            }
        } else if (payload == kBadMessage) {
            runCommand("crw_ws_badmessage");
        }
    });
}

struct websocket_endpoint::Impl {
    client endpoint;
    std::shared_ptr<std::thread> thread;
    std::shared_ptr<crw::StatusSignal> signal = std::make_shared<crw::StatusSignal>();
    mutable std::mutex lock;
    connection_metadata::ptr connection;
    // Every connection this endpoint started, so that one an earlier connect
    // left open can still be ended at destruction.
    std::vector<websocketpp::connection_hdl> started;

    connection_metadata::ptr current() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return connection;
    }
};

websocket_endpoint::websocket_endpoint() : impl_(std::make_unique<Impl>())
{
    client& c = impl_->endpoint;
    c.clear_access_channels(websocketpp::log::alevel::all);
    c.clear_error_channels(websocketpp::log::elevel::all);
    c.init_asio();
    c.start_perpetual();
    impl_->thread = std::make_shared<std::thread>([&c] {
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
}

websocket_endpoint::~websocket_endpoint()
{
    Impl& d = *impl_;
    d.signal->shuttingDown = true;
    d.endpoint.stop_perpetual();

    connection_metadata::ptr record;
    std::vector<websocketpp::connection_hdl> started;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        record = d.connection;
        started = d.started;
    }
    if (record && record->get_status() == "Open") {
        websocketpp::lib::error_code ec;
        d.endpoint.close(record->get_hdl(), websocketpp::close::status::going_away, "", ec);
        if (ec) {
            crw::LOG("Error closing connection : {}", ec.message());
        }
        crw::LOG("Closed connection");
    }
    for (const auto& hdl : started) {
        if (record && !hdl.owner_before(record->get_hdl()) && !record->get_hdl().owner_before(hdl)) {
            continue;
        }
        // Not open (or gone) gives an error here, which is fine.
        websocketpp::lib::error_code ec;
        d.endpoint.close(hdl, websocketpp::close::status::going_away, "", ec);
    }
    if (d.thread && d.thread->joinable()) {
        d.thread->join();
    }
}

int websocket_endpoint::connect(const std::string& uri)
{
    Impl& d = *impl_;
    websocketpp::lib::error_code ec;
    client::connection_ptr con = d.endpoint.get_connection(uri, ec);
    if (ec) {
        crw::LOG("Connect initialization error : {}", ec.message());
        return -1;
    }

    auto record = std::make_shared<connection_metadata>(con->get_handle(), d.signal);
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.connection = record;
        std::vector<websocketpp::connection_hdl> alive;
        for (auto& hdl : d.started) {
            if (!hdl.expired()) {
                alive.push_back(hdl);
            }
        }
        alive.push_back(con->get_handle());
        d.started.swap(alive);
    }
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
}

std::shared_ptr<connection_metadata> websocket_endpoint::get_metadata() const { return impl_->current(); }

void websocket_endpoint::send(std::string message)
{
    auto record = impl_->current();
    if (!record) {
        crw::LOG("Error websocket connection is null !");
        return;
    }
    websocketpp::lib::error_code ec;
    impl_->endpoint.send(record->get_hdl(), message, websocketpp::frame::opcode::text, ec);
    if (ec) {
        crw::LOG("Error sending message : {}", ec.message());
    }
}

bool websocket_endpoint::close(int code, std::string reason)
{
    auto record = impl_->current();
    if (!record) {
        crw::LOG("Error websocket connection is null !");
        return false;
    }
    websocketpp::lib::error_code ec;
    impl_->endpoint.close(record->get_hdl(), static_cast<websocketpp::close::status::value>(code), reason, ec);
    if (ec) {
        crw::LOG("Error initiating close: {}", ec.message());
        return false;
    }
    crw::LOG("Websocket connection closed !");
    return true;
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
    impl_->signal->changed.wait_for(guard, timeout, [this] { return current_status() != "Connecting"; });
    return current_status();
}
