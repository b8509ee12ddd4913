// The runtime library's own failures that the system's behaviour exposes: integer conversion,
// date and time encoding, and list indexes. Each keeps the runtime's wording, since the texts reach
// the user through error messages and logs.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel {

// '"%s" is an invalid integer'
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "Invalid argument to date encode" / "Invalid argument to time encode"
class EDateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "List index out of bounds (%d)"
class EListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void RaiseListIndexError(long long index);

} // namespace kestrel
