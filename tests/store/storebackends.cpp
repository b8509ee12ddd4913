// The back ends the store tests run on. Each test gets a location no other test uses.
#include "storerig.h"

#include <atomic>

namespace kestrel::storetest {

std::string NewStoreLocation(const std::string &Backend)
{
    static std::atomic<int> counter{0};
    const std::string name = "store" + std::to_string(++counter);
    if (Backend == "sqlite")
        return (ScratchFolder() / (name + ".sqlite")).string();
    ADD_FAILURE() << "unknown back end " << Backend;
    return {};
}

} // namespace kestrel::storetest
