// Arbitrary element lists (identifier, length, data; the length cut to what is left) to
// TEMS::LoadFromUDH. Whatever loads is written back with SaveToUDH and loads again to items of
// the same classes.
#include "emsfuzz.h"

#include "gsm/gsmerror.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    TUDHProtocol udh;
    udh.Lock();
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t iei = data[pos];
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        udh.IEs().Add(std::make_unique<TIE>(iei, fuzz::Bytes(data + pos + 2, length)));
        pos += 2 + length;
    }
    udh.Unlock();
    TEMS ems;
    try {
        ems.LoadFromUDH(udh);
    } catch (const EGSMError &) {
        return 0; // an iMelody that does not parse
    }
    TUDHProtocol written;
    try {
        ems.SaveToUDH(written);
    } catch (const EGSMError &e) {
        // Objects read from cut elements are written at their full size (a large animation whose
        // data stopped early still has its four frames): a long list of them may need more than
        // the 255 segments of a concatenated message, which the writer refuses in words.
        fuzz::Check(std::string(e.what()) == "Payload too long for 255 segments");
        return 0;
    }
    fuzz::Check(written.IEs().Count() == static_cast<int>(ems.Items.size()));
    TEMS again;
    try {
        again.LoadFromUDH(written);
    } catch (const EGSMError &) {
        // Records parsed from foreign text need not render to a text that parses (a record named
        // END); every other class reads back.
        return 0;
    }
    fuzz::Check(again.Items.size() == ems.Items.size());
    for (size_t i = 0; i < ems.Items.size(); ++i)
        fuzz::Check(again.Items[i]->GetIEI() == ems.Items[i]->GetIEI());
    return 0;
}
