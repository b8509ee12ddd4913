// A "+CPBR:" or "+CPBS:" line from a modem (the first byte chooses the TE character set) through
// the phonebook readers: an entry, range or storage status within its limits, or the error that
// names the field; an entry read is measured, checked and written back cleanly or refused.
#include "gsm/gsmerror.h"
#include "gsm/phonebook.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const auto charset = static_cast<TTECharset>(data[0] % 5);
    const std::string_view line(reinterpret_cast<const char *>(data + 1), size - 1);
    try {
        const TPhonebookRange r = ParseCPBRTest(line);
        if (r.First < 1 || r.Last < r.First || r.Last - r.First >= 10000)
            std::abort();
    } catch (const EGSMError &) {
    }
    try {
        const TPhonebookEntry e = ParseCPBRLine(line, charset);
        if (e.Index < 1 || e.Number.empty() || e.Number.size() > 81)
            std::abort();
        CheckPhonebookEntry(e, TPhonebookRange{1, 10, 20, 14}, "SM");
        if (PhonebookTextLength(e.Name) < e.Name.size())
            std::abort();
        CPBWParameters(e, charset);
    } catch (const EGSMError &) {
    }
    try {
        const TPhonebookStatus st = ParseCPBSRead(line);
        if (st.Storage.empty() || st.Storage.size() > 8 || (st.Total >= 0 && st.Used > st.Total))
            std::abort();
    } catch (const EGSMError &) {
    }
    try {
        if (ParseCPBSTest(line).size() > 32)
            std::abort();
    } catch (const EGSMError &) {
    }
    return 0;
}
