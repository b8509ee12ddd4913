#include "xsms/payloadkind.h"

#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/smartmessage.h"

#include <algorithm>

namespace kestrel {

namespace {

// clang-format off
constexpr TPayloadKindRow kKinds[] = {
    {TPayloadKind::pkText,         "text",          "Text",               {}},
    {TPayloadKind::pkPicture,      "picture",       "Picture message",    {}}, // a multipart message with a picture
    {TPayloadKind::pkOperatorLogo, "operator-logo", "Operator logo",      {kSMPortOperatorLogo}},
    {TPayloadKind::pkCLIIcon,      "cli-icon",      "Caller icon",        {kSMPortCLIIcon}},
    {TPayloadKind::pkRingtone,     "ringtone",      "Ringing tone",       {kSMPortRingingTone}},
    {TPayloadKind::pkVCard,        "vcard",         "vCard",              {kSMPortvCard, kSMPortWapvCard, kSMPortWapvCardSecure}},
    {TPayloadKind::pkVCalendar,    "vcalendar",     "vCalendar",          {kSMPortvCalendar, kSMPortWapvCalendar, kSMPortWapvCalendarSecure}},
    {TPayloadKind::pkMultipart,    "multipart",     "Multipart message",  {kSMPortMultipart}},
    {TPayloadKind::pkEMS,          "ems",           "EMS message",        {}}, // EMS elements in a header without ports
    {TPayloadKind::pkOTA,          "ota",           "Siemens OTA object", {}}, // the Siemens OTA protocol
    {TPayloadKind::pkData,         "data",          "Data",               {}}, // anything else
};
// clang-format on

constexpr bool inKindOrder()
{
    for (size_t i = 0; i < std::size(kKinds); ++i)
        if (static_cast<size_t>(kKinds[i].Kind) != i)
            return false;
    return std::size(kKinds) == static_cast<size_t>(TPayloadKind::pkData) + 1;
}
static_assert(inKindOrder(), "one row per kind, in the order of TPayloadKind");

const TPayloadKindRow &rowOf(TPayloadKind kind)
{
    const auto i = static_cast<size_t>(kind);
    return kKinds[i < std::size(kKinds) ? i : static_cast<size_t>(TPayloadKind::pkData)];
}

// A user data header without application ports: concatenated text, EMS, or both.
bool portless(const TSMSProtocol &protocol)
{
    auto *udh = dynamic_cast<const TUDHProtocol *>(&protocol);
    return udh && udh->DestPort() == 0 && udh->SourcePort() == 0;
}

} // namespace

std::span<const TPayloadKindRow> PayloadKinds()
{
    return kKinds;
}

const char *PayloadKindName(TPayloadKind Kind)
{
    return rowOf(Kind).Name;
}

const char *PayloadKindLabel(TPayloadKind Kind)
{
    return rowOf(Kind).Label;
}

TPayloadKind PayloadKindFromName(std::string_view Name)
{
    for (const TPayloadKindRow &row : kKinds)
        if (Name == row.Name)
            return row.Kind;
    return TPayloadKind::pkData;
}

TPayloadKind PayloadKindOfPort(unsigned Port)
{
    if (Port == 0)
        return TPayloadKind::pkData;
    for (const TPayloadKindRow &row : kKinds)
        if (std::find(row.Ports.begin(), row.Ports.end(), Port) != row.Ports.end())
            return row.Kind;
    return TPayloadKind::pkData;
}

TPayloadKind PayloadKindOfCoding(uint8_t DCS)
{
    // SMSAlphabet reads compressed text as 8-bit: octets that are not characters.
    return SMSAlphabet(DCS) == TDCSAlphabet::da8Bit ? TPayloadKind::pkData : TPayloadKind::pkText;
}

TPayloadKind PayloadKindAnnounced(const TSMSProtocol &Protocol, uint8_t DCS)
{
    if (dynamic_cast<const TSiemensOTA *>(&Protocol))
        return TPayloadKind::pkOTA;
    if (portless(Protocol))
        return PayloadKindOfCoding(DCS);
    auto *ported = dynamic_cast<const TSMSProtocol2 *>(&Protocol);
    return PayloadKindOfPort(ported ? ported->DestPort() : 0);
}

TPayloadKind PayloadKindOf(const TSMSProtocol &Protocol, uint8_t DCS)
{
    const TPayloadKind announced = PayloadKindAnnounced(Protocol, DCS);
    if (announced == TPayloadKind::pkMultipart) {
        try {
            auto message = TSmartMessage::CreateFromPort(Protocol.Data(), kSMPortMultipart);
            if (auto *multipart = dynamic_cast<const TSMMultipartMessage *>(message.get()))
                for (const auto &item : multipart->Items)
                    if (dynamic_cast<const TSMOTABitmap *>(item.get()))
                        return TPayloadKind::pkPicture;
        } catch (const std::exception &) {
            // A multipart message that does not parse stays what its port says.
        }
        return announced;
    }
    if (portless(Protocol)) {
        TEMS ems;
        try {
            ems.LoadFromUDH(static_cast<const TUDHProtocol &>(Protocol));
        } catch (const std::exception &) {
            // An iMelody that does not parse: the objects before it still make it EMS.
        }
        if (!ems.Items.empty())
            return TPayloadKind::pkEMS;
    }
    return announced;
}

} // namespace kestrel
