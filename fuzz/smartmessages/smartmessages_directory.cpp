// Arbitrary bytes to TDirectoryRecords parsing, with the folding width from the first octet;
// what parses renders, and the rendering parses back to the same records.
#include "smartmessagefuzz.h"
#include "xsms/directoryrecords.h"

#include <cctype>

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
    // A record named END (from a line like " END:x", whose blank made it a record) renders as an
    // END line; the text format has no way to write it. Every other rendering reads back whole.
    for (int i = 0; i < records.Count(); ++i) {
        std::string name = records.Names(i);
        for (char &c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name == "END" && records.Parameters(i).empty())
            return 0;
    }
    TDirectoryRecords again;
    again.SetData(records.Data());
    fuzz::Check(again.Count() == records.Count());
    return 0;
}
