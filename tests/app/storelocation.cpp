// The Messages view tests keep their stores in SQLite files of the store tests' scratch folder.
#include "storerig.h"

namespace kestrel::storetest {

std::string NewStoreLocation(const std::string &)
{
    static int counter = 0;
    return (ScratchFolder() / ("view" + std::to_string(++counter) + ".sqlite")).string();
}

} // namespace kestrel::storetest
