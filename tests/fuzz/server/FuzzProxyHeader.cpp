// The first bytes of a connection from a trusted balancer: whatever the pieces they come in, the header is read the
// same way, never past its bounds, and a client address it yields is a real one.
#include "ProxyProtocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using crw::server::ProxyHeaderParser;
    if (size == 0)
        return 0;
    // The first byte picks the size of the pieces for the second reading.
    const std::size_t piece = data[0] % 16 + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t n = size - 1;

    ProxyHeaderParser whole;
    const std::size_t taken = whole.feed(bytes, n);
    ProxyHeaderParser pieces;
    for (std::size_t at = 0; at < n && pieces.state() == ProxyHeaderParser::State::More; at += piece)
        if (pieces.feed(bytes + at, std::min(piece, n - at)) < std::min(piece, n - at))
            break;

    if (taken > n || whole.consumed() != taken || pieces.state() != whole.state() ||
        pieces.source() != whole.source())
        std::abort();
    if (whole.state() != ProxyHeaderParser::State::Invalid && pieces.consumed() != taken)
        std::abort();
    if (whole.state() == ProxyHeaderParser::State::More && taken != n)
        std::abort();
    const std::size_t bound = n && bytes[0] == 'P' ? ProxyHeaderParser::kV1MaxBytes : 16 + 65535;
    if (taken > bound)
        std::abort();
    if (!whole.source().empty()) {
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(whole.source(), ec);
        if (ec || address.to_string() != whole.source())
            std::abort();
    }
    return 0;
}
