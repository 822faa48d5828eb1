// config.json loading, through the file in the data folder.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FuzzHost.h"
#include "plugin/CRW.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crwfuzz::Env& e = crwfuzz::env();
    const auto path = e.host.dataDir / "CRW" / "config.json";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    e.plugin->loadConfig();
    // Loading never rewrites an existing file.
    std::ifstream in(path, std::ios::binary);
    std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (back != std::string(reinterpret_cast<const char*>(data), size)) {
        std::abort();
    }
    return 0;
}
