// The JSON form of a message object, shared by "kestrel pdu decode" and the session commands
// that read, list and monitor messages.
#pragma once

#include <QJsonObject>

namespace kestrel {
class TSMS;
}

namespace kestrel::cli {

// The keys of "kestrel pdu decode" for any message class; the user data and text of a message
// are taken as the model holds them (7-bit codes, octets or UCS2).
QJsonObject MessageJson(const TSMS &sms);

} // namespace kestrel::cli
