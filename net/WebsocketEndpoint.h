#pragma once
// The plug-in's thin WebSocket client. This header stays free of websocketpp
// so that the plug-in's other sources compile quickly; the library types live
// in net/ConnectionMetadata.h and net/WebsocketEndpoint.cpp.
#include <chrono>
#include <memory>
#include <string>

class connection_metadata;

class websocket_endpoint {
public:
    // Starts the I/O thread, which runs until destruction.
    websocket_endpoint();
    // Closes an open connection with 1001 and joins the I/O thread.
    ~websocket_endpoint();
    websocket_endpoint(const websocket_endpoint&) = delete;
    websocket_endpoint& operator=(const websocket_endpoint&) = delete;

    // 1 when the attempt was started, -1 when the library rejected the URI.
    int connect(const std::string& uri);
    std::shared_ptr<connection_metadata> get_metadata() const;
    void send(std::string message);
    bool close(int code, std::string reason);

    // Status of the current record ("" when there is none).
    std::string current_status() const;
    // Blocks until the current record's status leaves "Connecting" (or the
    // time-out passes); returns the status then. Never polls.
    std::string wait_while_connecting(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
