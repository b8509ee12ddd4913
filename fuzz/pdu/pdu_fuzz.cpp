// Arbitrary octets, read as a binary PDU and as PDU hex text, in both directions, with and without
// a service-centre field, and as a cell broadcast page. Whatever decodes is encoded again, and
// that encoding must decode and encode to the same octets: a decoded object is always one the
// model can write.
#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "gsm/tpdufields.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

using namespace kestrel;

namespace {

class TContext : public ISMSContext {
public:
    explicit TContext(bool scaInPDU) : m_scaInPDU(scaInPDU) {}
    bool SCAInPDU() const override { return m_scaInPDU; }
    std::string SCA() const override { return "+123"; }

private:
    bool m_scaInPDU;
};

[[noreturn]] void fail(const char *what, const std::string &a, const std::string &b)
{
    std::fprintf(stderr, "%s\n  first:  %s\n  second: %s\n", what, StrToHex(a).c_str(), StrToHex(b).c_str());
    std::abort();
}

// Decode failures of hostile data are expected; anything else escapes and is a finding.
template <typename Fn>
bool decodes(Fn fn)
{
    try {
        fn();
        return true;
    } catch (const EGSMError &) {
    } catch (const EDateError &) {
    } catch (const EConvertError &) {
    }
    return false;
}

void checkRoundTrip(const TSMS &decoded,
                    const std::function<std::unique_ptr<TSMS>(const std::string &)> &decode)
{
    std::string first = decoded.Encode();
    std::unique_ptr<TSMS> again;
    try {
        again = decode(first);
    } catch (const std::exception &e) {
        fail(e.what(), first, first);
    }
    if (!again || std::string_view(again->ClassName()) != decoded.ClassName())
        fail("encoding decodes to another class", first, again ? again->Encode() : std::string());
    std::string second = again->Encode();
    if (first != second)
        fail("encoding is not stable", first, second);
}

void fuzzSMS(const ISMSContext *context, const std::string &bytes, bool mt)
{
    std::unique_ptr<TSMS2> sms;
    if (!decodes([&] { sms = CreateSMSFromBytes(context, bytes, mt); }) || !sms)
        return;
    checkRoundTrip(*sms, [&](const std::string &b) {
        return std::unique_ptr<TSMS>(CreateSMSFromBytes(context, b, mt));
    });
    // The same PDU as hex text must give the same object.
    auto fromHex = CreateSMSFromPDU(context, StrToHex(bytes), mt);
    if (!fromHex || fromHex->Encode() != sms->Encode())
        fail("hex and binary decodes differ", sms->Encode(), fromHex ? fromHex->Encode() : std::string());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const TContext withSCA(true), withoutSCA(false);
    for (const ISMSContext *context :
         {static_cast<const ISMSContext *>(nullptr), static_cast<const ISMSContext *>(&withSCA),
          static_cast<const ISMSContext *>(&withoutSCA)}) {
        for (bool mt : {true, false}) {
            fuzzSMS(context, bytes, mt);
            // The octets as PDU text, as a handset's line would carry it.
            std::unique_ptr<TSMS2> sms;
            decodes([&] { sms = CreateSMSFromPDU(context, bytes, mt); });
            if (sms)
                sms->Encode();
        }
    }

    TCellBroadcast page;
    if (decodes([&] { page.Decode(bytes); })) {
        checkRoundTrip(page, [](const std::string &b) {
            auto again = std::make_unique<TCellBroadcast>();
            again->Decode(b);
            return std::unique_ptr<TSMS>(std::move(again));
        });
    }

    // The field codecs on their own.
    for (bool header : {false, true}) {
        std::string unpacked = UnpackUserData(bytes, true, header);
        // A header cut short by the data has no septet boundary to restore.
        if (header && !unpacked.empty() && static_cast<uint8_t>(unpacked[0]) + 1u > unpacked.size())
            continue;
        std::string repacked = PackUserData(unpacked, true, header);
        if (UnpackUserData(repacked, true, header) != unpacked)
            fail("septet packing does not round-trip", unpacked, UnpackUserData(repacked, true, header));
    }
    int8_t zone;
    decodes([&] { ParseTimeStamp(bytes, zone); });
    size_t pos = 0;
    decodes([&] { DecodeAddress(bytes, pos); });
    return 0;
}
