// The kinds of payload a message carries: which kind a completed payload is (by its protocol, its
// smart-messaging port, its EMS elements or its coding), its name in JSON and in the store, and
// its label for people. One table that the SMS log, the store, kestrel, the outgoing path and the
// Messages view all read: adding a kind is one row here and its renderer in the Messages view.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel {

class TSMSProtocol;

enum class TPayloadKind {
    pkText,
    pkPicture,
    pkOperatorLogo,
    pkCLIIcon,
    pkRingtone,
    pkVCard,
    pkVCalendar,
    pkMultipart,
    pkEMS,
    pkOTA,
    pkData
};

struct TPayloadKindRow {
    TPayloadKind Kind;
    const char *Name;              // in JSON and the store: "text", "operator-logo", ...
    const char *Label;             // for people: "Text", "Operator logo", ...
    std::array<uint16_t, 3> Ports; // the smart-messaging destination ports that carry it (0: none)
};

// Every kind, in the order of TPayloadKind.
std::span<const TPayloadKindRow> PayloadKinds();
const char *PayloadKindName(TPayloadKind Kind);
const char *PayloadKindLabel(TPayloadKind Kind);
// The kind of a name; pkData for a name of no row (a kind a later version added).
TPayloadKind PayloadKindFromName(std::string_view Name);

// The kind that a destination port announces; pkData for a port of no row.
TPayloadKind PayloadKindOfPort(unsigned Port);
// User data without a payload protocol: text in the default alphabet or UCS2; 8-bit data, and
// compressed text that cannot be read without a decompressor, are data (TS 23.038 4).
TPayloadKind PayloadKindOfCoding(uint8_t DCS);
// What the protocol of a payload announces before it is whole (from any of its segments): OTA
// objects for the Siemens OTA protocol, the kind of the destination port where it has ports, the
// kind of the coding for a header without ports.
TPayloadKind PayloadKindAnnounced(const TSMSProtocol &Protocol, uint8_t DCS);
// The kind of a completed payload: what it announces, where its content says more: a multipart
// message holding a picture is a picture message, and a header without ports that carries EMS
// objects makes an EMS message (whatever the coding of its text).
TPayloadKind PayloadKindOf(const TSMSProtocol &Protocol, uint8_t DCS);

} // namespace kestrel
