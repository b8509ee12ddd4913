#include "base/format.h"

#include <cstdarg>
#include <cstdio>

namespace kestrel {

std::string Format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    std::string result;
    if (n < 0) {
        va_end(copy);
        return result;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        result.assign(small, static_cast<size_t>(n));
    } else {
        result.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(result.data(), result.size(), fmt, copy);
        result.resize(static_cast<size_t>(n));
    }
    va_end(copy);
    return result;
}

} // namespace kestrel
