// The message kinds of "kestrel send": the options that say what to send, read into the content
// the composer turns into messages.
#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>

namespace kestrel {
struct TMessageContent;
class TSMSSubmit;
} // namespace kestrel

namespace kestrel::cli {

// Adds every content option except --to: --text --class --ucs2 --ems-text --vcard --phone --picture
// --logo --operator --cli --ringtone --ems-picture --size --ems-animation --ems-melody
// --status-report.
void AddSendContentOptions(QCommandLineParser &parser);
QString SendContentHelp();
// Fills Content from the parsed options, reading picture and melody files. Returns a usage error
// text (no kind, two kinds, a bad class or size, an unreadable file), or an empty string.
// A melody file in RTTTL that does not parse raises EGSMError.
QString ReadSendContent(const QCommandLineParser &parser, TMessageContent &content);

} // namespace kestrel::cli
