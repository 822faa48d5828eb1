// The WebSocket message handler, on frames of either kind.
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzHost.h"
#include "net/ConnectionMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crwfuzz::env(); // host handles, so that invites reach the (checking) host
    static auto record = std::make_shared<connection_metadata>(websocketpp::connection_hdl());
    const bool binary = size > 0 && data[0] == 0xff;
    auto message = std::make_shared<websocketpp::config::asio_client::message_type>(
        websocketpp::config::asio_client::message_type::con_msg_man_ptr(),
        binary ? websocketpp::frame::opcode::binary : websocketpp::frame::opcode::text, size);
    message->set_payload(reinterpret_cast<const char*>(data), size);
    record->on_message(websocketpp::connection_hdl(), message);
    return 0;
}
