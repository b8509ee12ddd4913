// What a received message carries, in the store's terms: where a segment belongs (the identity of
// its payload apart from the sender, and its place in it) and, once a message is whole, its kind,
// its text in UTF-8 and its payload octets. Works on decoded message objects only; reassembly goes
// through the same protocol objects and stack as the application's.
#pragma once

#include "store/messagestore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

class TSMS;
class TSMSDeliver;

// A segment of a payload that spans several messages.
struct TSegmentPlace {
    // Protocol, reference, segment count and ports (Siemens OTA: name, type, size): segments of
    // one sender with equal keys belong to one payload.
    std::string JoinKey;
    int Sequence = 1;
    int Count = 1;
    std::string UserData; // header and payload, to tell a repeat from a conflicting segment
};

// The place of a received message in a payload of several segments; nullopt for a message that
// stands alone (plain text, a single-segment payload, or user data of no known protocol).
std::optional<TSegmentPlace> SegmentPlace(const TSMSDeliver &SMS);

struct TReceivedContent {
    TPayloadKind Kind = TPayloadKind::pkText;
    std::string Text; // UTF-8 without NUL characters (database text columns refuse them)
    std::string Payload;
    int DestPort = -1;
};

// The content of a message that stands alone (any TPDU class, or a cell broadcast page).
TReceivedContent ContentOfMessage(const TSMS &SMS);
// The content of a payload from all its segments (any order); nullopt when they do not make one
// complete payload.
std::optional<TReceivedContent> ContentOfSegments(const std::vector<const TSMSDeliver *> &Segments);
// What the segments present of an incomplete payload show: the kind its first segment announces
// and, for concatenated text, the text of the parts present in order.
TReceivedContent ContentOfPartial(const std::vector<const TSMSDeliver *> &Segments);

// The address of the other party as the message model holds it (sender, recipient or destination),
// in UTF-8.
std::string PeerOf(const TSMS &SMS);
// An address for comparing: international numbers without "+" or "00", other characters of a
// number dropped; alphanumeric senders folded to lower case.
std::string NormalisedAddress(const std::string &Address);

} // namespace kestrel
