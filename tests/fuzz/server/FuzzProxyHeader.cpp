// A trusted balancer's first bytes: read alike in any pieces, never past the header's bounds, any address real.
#include "ProxyProtocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using crw::server::ProxyHeaderParser;
    if (size < 2)
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

    const std::size_t bound = bytes[0] == 'P' ? ProxyHeaderParser::kV1MaxBytes : 16 + 65535;
    if (taken > n || taken > bound || whole.consumed() != taken || pieces.state() != whole.state() ||
        pieces.source() != whole.source() ||
        (whole.state() != ProxyHeaderParser::State::Invalid && pieces.consumed() != taken) ||
        (whole.state() == ProxyHeaderParser::State::More && taken != n))
        std::abort();
    if (!whole.source().empty()) {
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(whole.source(), ec);
        if (ec || address.to_string() != whole.source())
            std::abort();
    }
    return 0;
}
