// Arbitrary text (as ISO 8859-1) to the RTTTL import; what it builds must write and export, and
// the export must import to the same binary tone.
#include "smartmessagefuzz.h"
#include "xsms/ringtone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    TSMRingingTone tone;
    try {
        tone.SetRTTTL(
            QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    } catch (const EGSMError &) {
        return 0;
    }
    const std::string binary = tone.GetData();
    TSMRingingTone parsed;
    parsed.SetData(binary);
    fuzz::Check(parsed.GetData() == binary);
    tone.RTTTL();
    return 0;
}
