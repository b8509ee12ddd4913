// printf-style formatting of the system's message texts ("%s", "%d", "%.2x").
#pragma once

#include <string>

namespace kestrel {

// Formats like snprintf but returns a std::string of any length. Pass std::string arguments
// through .c_str().
std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace kestrel
