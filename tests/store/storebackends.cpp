// The back ends the store tests run on. Each test gets a location no other test uses.
#include "storerig.h"

#include "pgserver.h"

#include <atomic>

namespace kestrel::storetest {

std::string NewStoreLocation(const std::string &Backend)
{
    static std::atomic<int> counter{0};
    const std::string name = "store" + std::to_string(++counter);
    if (Backend == "sqlite")
        return (ScratchFolder() / (name + ".sqlite")).string();
    if (Backend == "postgresql") {
        auto &server = test::TPostgresServer::Shared();
        return server.Url(server.CreateDatabase(name));
    }
    ADD_FAILURE() << "unknown back end " << Backend;
    return {};
}

} // namespace kestrel::storetest
