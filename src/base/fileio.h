// Writing whole buffers to file descriptors.
#pragma once

#include <string_view>

namespace kestrel {

// Writes all of data to fd, going on after interruptions and short writes. Returns 0, or the
// errno of the failure (EIO for a write that took nothing: a full disk may answer so).
int WriteAll(int fd, std::string_view data);

} // namespace kestrel
