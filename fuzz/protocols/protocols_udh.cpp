// Arbitrary bytes to TUDHProtocol::Decode, fresh and after a first segment.
#include "protocolfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return kestrel::fuzz::FuzzOne<kestrel::TUDHProtocol>(data, size);
}
