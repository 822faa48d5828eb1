#pragma once
// The record of one WebSocket connection and the handlers websocketpp calls
// on it. Only net/ sources include this: websocketpp is heavy.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "net/InviteGuard.h"

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

using client = websocketpp::client<websocketpp::config::asio_client>;

namespace crw {

// Shared by an endpoint and its records: handlers signal status changes here
// so that waiters block instead of polling.
struct StatusSignal {
    std::mutex mutex;
    std::condition_variable changed;
    // Set while the endpoint is being destroyed: its own 1001 close coming
    // back must not be taken for the server ending the registration.
    std::atomic<bool> shuttingDown{false};
    // Guarded by mutex: set when the endpoint's owner stops waiting for good,
    // and the ids of closed connections whose notifier is still to run.
    bool cancelled = false;
    std::deque<int> badCloses;

    void notify()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
        }
        changed.notify_all();
    }
};

} // namespace crw

class connection_metadata {
public:
    using ptr = std::shared_ptr<connection_metadata>;

    explicit connection_metadata(websocketpp::connection_hdl hdl, std::shared_ptr<crw::StatusSignal> signal = nullptr,
                                 int id = 0);

    void on_open(client* c, websocketpp::connection_hdl hdl);
    void on_fail(client* c, websocketpp::connection_hdl hdl);
    void on_close(client* c, websocketpp::connection_hdl hdl);
    void on_message(websocketpp::connection_hdl hdl, client::message_ptr msg);

    websocketpp::connection_hdl get_hdl() const { return m_hdl; }
    std::string get_status() const;
    std::string get_error_reason() const;
    // Which connect made this record: 1, 2, ... per endpoint.
    int get_id() const { return m_id; }
    // The plug-in itself starts the close (set on the I/O thread before it).
    void mark_local_close() { m_local_close = true; }

private:
    void set_status(const std::string& status, const std::string* reason);

    websocketpp::connection_hdl m_hdl;
    std::shared_ptr<crw::StatusSignal> m_signal;
    const int m_id;
    std::atomic<bool> m_local_close{false};
    mutable std::mutex m_lock;
    std::string m_status = "Connecting";
    std::string m_error_reason;
    crw::InviteGuard m_invites; // locks itself
    // I/O thread only: when the bad-message notifier last ran.
    std::chrono::steady_clock::time_point m_last_bad_message{};
    unsigned long m_bad_message_runs = 0;
};
