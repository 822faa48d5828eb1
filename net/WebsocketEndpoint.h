#pragma once
// The plug-in's thin WebSocket client. This header stays free of websocketpp
// so that the plug-in's other sources compile quickly; the library types live
// in net/ConnectionMetadata.h and net/WebsocketEndpoint.cpp.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class connection_metadata;

class websocket_endpoint {
public:
    // The server sends invite notifications (two ids and a name, well under
    // 2 KB escaped) and a 68-byte error text. A larger frame is refused while
    // its header is read, before its payload is buffered: the library closes
    // the connection with 1009, which ends the registration like any close.
    static constexpr std::size_t max_frame_bytes = 64 * 1024;

    // Starts the I/O thread, which runs until destruction.
    websocket_endpoint();
    // Closes an open connection with 1001 and joins the I/O thread.
    ~websocket_endpoint();
    websocket_endpoint(const websocket_endpoint&) = delete;
    websocket_endpoint& operator=(const websocket_endpoint&) = delete;

    // The socket belongs to the I/O thread: connect and send hand their work
    // to it and wait for its (short) answer, so they may be called from any
    // other thread but the frame's. close only hands its work over and
    // returns, so the render and timer threads never wait for the I/O thread.
    //
    // 1 when the attempt was started, -1 when the library rejected the URI.
    int connect(const std::string& uri);
    std::shared_ptr<connection_metadata> get_metadata() const;
    // True when the frame was handed to the library on an open connection.
    bool send(std::string message);
    // True when the close was handed to the I/O thread: the record was open
    // and the code and reason are ones the library accepts. A close the
    // connection outruns meanwhile only logs.
    bool close(int code, std::string reason);

    // Id of the current record (0 when there is none).
    int current_id() const;
    // Each close that ran "crw_ws_closedconnection_bad" leaves the id of its
    // connection here, for the notifier to take (oldest first); empty when
    // the command came from elsewhere.
    std::optional<int> take_bad_close();
    // Ends every wait_while_connecting, now and later.
    void cancel_waits();

    // Status of the current record ("" when there is none).
    std::string current_status() const;
    // Blocks until the current record's status leaves "Connecting" (or the
    // time-out passes); returns the status then. Never polls.
    std::string wait_while_connecting(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
