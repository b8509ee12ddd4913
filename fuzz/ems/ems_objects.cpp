// Arbitrary element data to SetData of every EMS class (the first octet picks the class). What
// an object renders parses into a fresh object of the same class and renders the same.
#include "emsfuzz.h"

#include "gsm/gsmerror.h"
#include "xsms/ems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    if (size == 0)
        return 0;
    const auto iei = static_cast<uint8_t>(0x0A + data[0] % 17);
    auto object = TEMSObject::CreateFromIEI(iei);
    fuzz::Check(object != nullptr && object->GetIEI() == iei);
    const bool sound = iei == 0x0C;
    try {
        object->SetData(fuzz::Bytes(data + 1, size - 1));
    } catch (const EGSMError &) {
        fuzz::Check(sound);
        return 0;
    }
    const std::string first = object->GetData();
    auto fresh = TEMSObject::CreateFromIEI(iei);
    try {
        fresh->SetData(first);
    } catch (const EGSMError &) {
        fuzz::Check(sound);
        return 0;
    }
    if (!sound)
        fuzz::Check(fresh->GetData() == first);
    return 0;
}
