// Placeholder until the WebSocket client lands.
#include "net/WebsocketEndpoint.h"

struct websocket_endpoint::Impl {};
websocket_endpoint::websocket_endpoint() : impl_(std::make_unique<Impl>()) {}
websocket_endpoint::~websocket_endpoint() = default;
int websocket_endpoint::connect(const std::string&) { return -1; }
std::shared_ptr<connection_metadata> websocket_endpoint::get_metadata() const { return nullptr; }
void websocket_endpoint::send(std::string) {}
bool websocket_endpoint::close(int, std::string) { return false; }
std::string websocket_endpoint::current_status() const { return ""; }
std::string websocket_endpoint::wait_while_connecting(std::chrono::milliseconds) const { return ""; }
