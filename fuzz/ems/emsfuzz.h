// Shared helpers of the EMS fuzz targets: a failed check aborts, which libFuzzer reports.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestrel::fuzz {

inline void Check(bool condition)
{
    if (!condition)
        std::abort();
}

inline std::string Bytes(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

} // namespace kestrel::fuzz
