// The JSON form of a message object, shared by "kestrel pdu decode", the handset's message
// commands, monitor and the gateway's event lines (messagejson.cpp).
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <string>

namespace kestrel {
class TGSM;
class TSMS;
} // namespace kestrel

namespace kestrel::cli {

// The keys of "kestrel pdu decode" for any message class; the user data and text of a message
// are taken as the model holds them (7-bit codes, octets or UCS2).
QJsonObject MessageJson(const TSMS &sms);

// The JSON of a message as the engine's message format gave it (a text-mode message is turned
// into the model's form first, so it reads as a PDU would); null without a message.
QJsonValue MessageValue(const TGSM &gsm, TSMS *sms);

// UTF-8 text of the store or the engine as a string (malformed octets replaced).
inline QString Utf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// One compact JSON line on standard output.
void PrintJson(const QJsonObject &json);

} // namespace kestrel::cli
