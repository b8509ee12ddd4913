// JSON views of what a message or a completed payload carries: the EMS objects of a binary user
// data header, and the smart message or EMS objects of a reassembled payload, named as the
// application logs them.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <string_view>

namespace kestrel {
class TSMSProtocol;
class TSmartMessage;
class TUDHProtocol;
} // namespace kestrel

namespace kestrel::cli {

// A smart message as "kestrel payload decode" shows it: its class and what it holds (directory
// records, multipart items, bitmap frames as rows of '#' and '.', ringing-tone tree and RTTTL,
// text, or the raw data of an unknown payload).
QJsonObject SmartMessageJson(const TSmartMessage &message);
// Sets "ems" to the objects of the header's elements (class names and fields); an iMelody that
// does not parse ends the list and sets "emsError".
void PutEMSObjects(QJsonObject &json, const TUDHProtocol &protocol);
// The same for the raw header at the start of user data (UDHL and the elements); a chain whose
// last element runs past the header carries no object.
void PutEMSObjectsOfHeader(QJsonObject &json, std::string_view header);
// The same for the elements as the store keeps them (DecodeHeaderElements in xsms/ems.h).
void PutEMSObjectsOfElements(QJsonObject &json, std::string_view elements);
// For a complete payload: its "kind" (xsms/payloadkind.h; DCS is the coding of its segments),
// "smartMessage" with the class of its port, or, for a binary header without one, its EMS
// objects.
void PutPayloadContent(QJsonObject &json, const TSMSProtocol &protocol, uint8_t dcs);

} // namespace kestrel::cli
