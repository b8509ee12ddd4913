// Arbitrary bytes to TSMRingingTone::SetData, then the binary and RTTTL writers.
#include "smartmessagefuzz.h"
#include "xsms/ringtone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    TSMRingingTone tone;
    try {
        tone.SetData(fuzz::Bytes(data, size));
    } catch (const EGSMError &) {
        tone.RTTTL(); // whatever was read before the failure still exports
        return 0;
    }
    TSMRingingTone fresh;
    fuzz::CheckStableRendering(tone, fresh);
    const QString rtttl = tone.RTTTL();
    try {
        TSMRingingTone imported;
        imported.SetRTTTL(rtttl);
        imported.GetData();
    } catch (const EGSMError &) {
    }
    return 0;
}
