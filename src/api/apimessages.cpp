#include "api/apimessages.h"

#include "api/apiroutes.h"
#include "base/datetime.h"
#include "gsm/gsmerror.h"

#include <QBuffer>
#include <QImageReader>
#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>
#include <set>

namespace kestrel::api {

namespace {

// The largest image the API decodes: far beyond any picture an SMS carries, small enough that a
// crafted file cannot make the server allocate much.
constexpr int kMaxImageSide = 1024;

// The fields each kind takes beside to, via, kind and statusReport, and the composer's kind.
struct TKindForm {
    const char *Name;
    TMessageKind Kind;
    std::set<QString> Fields;
};

const std::vector<TKindForm> &kindForms()
{
    static const std::vector<TKindForm> forms = {
        {"text", TMessageKind::mkText, {"text", "class"}},
        {"ucs2", TMessageKind::mkUCS2Text, {"text"}},
        {"vcard", TMessageKind::mkvCard, {"name", "phone"}},
        {"picture", TMessageKind::mkPicture, {"image", "text"}},
        {"operator-logo", TMessageKind::mkOperatorLogo, {"image", "operator"}},
        {"cli-icon", TMessageKind::mkCLIIcon, {"image"}},
        {"ringtone", TMessageKind::mkRingingTone, {"melody"}},
        {"ems-picture", TMessageKind::mkEMSPictureVariable, {"image", "size", "text"}},
        {"ems-animation", TMessageKind::mkEMSAnimationSmall, {"image", "size", "text"}},
        {"ems-melody", TMessageKind::mkEMSMelody, {"melody", "text"}},
    };
    return forms;
}

const std::set<QString> kCommonFields = {"to", "via", "kind", "statusReport"};

[[noreturn]] void refuse(const std::string &prefix, const QString &field, const std::string &message)
{
    throw EApiError(400, message, prefix + field.toStdString());
}

// A text the API takes: no NUL and no other C0 control but line breaks and tabs. (What any front
// end may send is OutgoingRefusal's to say.)
bool validText(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 && c != '\n' && c != '\r' && c != '\t')
            return false;
    return true;
}

QString stringField(const QJsonObject &json, const QString &name, const std::string &prefix, bool required)
{
    const QJsonValue v = json.value(name);
    if (v.isUndefined()) {
        if (required)
            refuse(prefix, name, "missing");
        return {};
    }
    if (!v.isString())
        refuse(prefix, name, "must be a string");
    const QString text = v.toString();
    if (!validText(text))
        refuse(prefix, name, "holds a control character");
    return text;
}

int intField(const QJsonObject &json, const QString &name, const std::string &prefix, int min, int max,
             int fallback)
{
    const QJsonValue v = json.value(name);
    if (v.isUndefined())
        return fallback;
    const double d = v.toDouble();
    if (!v.isDouble() || d < min || d > max || d != std::floor(d))
        refuse(prefix, name,
               "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    return static_cast<int>(d);
}

QImage imageField(const QJsonObject &json, const std::string &prefix)
{
    const QByteArray data = QByteArray::fromBase64(stringField(json, "image", prefix, true).toLatin1(),
                                                   QByteArray::AbortOnBase64DecodingErrors);
    if (data.isEmpty())
        refuse(prefix, "image", "must be an image file (PNG) in base64");
    QBuffer buffer;
    buffer.setData(data);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxImageSide || size.height() > kMaxImageSide)
        refuse(prefix, "image", "must be an image file (PNG) in base64, at most 1024 pixels a side");
    QImage image = reader.read();
    if (image.isNull())
        refuse(prefix, "image", "does not decode as an image");
    return image;
}

} // namespace

TSendRequest ReadSendRequest(const QJsonObject &Json, const std::string &Prefix)
{
    TSendRequest out;
    const QString kindName = Json.contains("kind") ? stringField(Json, "kind", Prefix, true) : "text";
    const TKindForm *form = nullptr;
    for (const TKindForm &f : kindForms())
        if (kindName == f.Name)
            form = &f;
    if (!form)
        refuse(Prefix, "kind", "unknown kind \"" + kindName.toStdString() + "\"");
    for (auto it = Json.begin(); it != Json.end(); ++it)
        if (!kCommonFields.count(it.key()) && !form->Fields.count(it.key()))
            refuse(Prefix, it.key(), "unknown field for the kind " + kindName.toStdString());

    out.To = stringField(Json, "to", Prefix, true).trimmed().toStdString();
    out.Via = stringField(Json, "via", Prefix, false).toStdString();
    TMessageContent &c = out.Content;
    c.Kind = form->Kind;
    const QJsonValue report = Json.value("statusReport");
    if (!report.isUndefined() && !report.isBool())
        refuse(Prefix, "statusReport", "must be true or false");
    c.StatusReport = report.toBool(false);
    if (form->Fields.count("text"))
        c.Text = stringField(Json, "text", Prefix,
                             form->Fields.count("image") == 0 && !form->Fields.count("melody"));
    c.MessageClass = intField(Json, "class", Prefix, 0, 3, 2);
    if (c.Kind == TMessageKind::mkvCard) {
        c.vCardName = stringField(Json, "name", Prefix, true);
        c.vCardPhone = stringField(Json, "phone", Prefix, true);
    }
    if (c.Kind == TMessageKind::mkOperatorLogo) {
        const QString op = stringField(Json, "operator", Prefix, true);
        if (!QRegularExpression("^[0-9]{5}$").match(op).hasMatch())
            refuse(Prefix, "operator", "must be the five digits of MCC and MNC, e.g. \"26201\"");
        c.Operator = op.toInt();
    }
    const QString size = Json.contains("size") ? stringField(Json, "size", Prefix, true) : QString();
    if (form->Fields.count("image")) {
        c.Picture = imageField(Json, Prefix);
        c.Width = c.Picture.width();
        c.Height = c.Picture.height();
    }
    if (kindName == "ems-picture") {
        if (!size.isEmpty() && size != "small" && size != "large" && size != "variable")
            refuse(Prefix, "size", "is small, large or variable");
        c.Kind = size == "small"   ? TMessageKind::mkEMSPictureSmall
                 : size == "large" ? TMessageKind::mkEMSPictureLarge
                                   : TMessageKind::mkEMSPictureVariable;
    } else if (kindName == "ems-animation") {
        if (size != "small" && size != "large")
            refuse(Prefix, "size", "is small or large");
        c.Kind = size == "small" ? TMessageKind::mkEMSAnimationSmall : TMessageKind::mkEMSAnimationLarge;
        c.Width = c.Height = size == "small" ? 8 : 16;
    }
    if (form->Fields.count("melody")) {
        QStringList lines = stringField(Json, "melody", Prefix, true).split('\n');
        while (!lines.isEmpty() && lines.back().trimmed().isEmpty())
            lines.removeLast();
        if (lines.isEmpty())
            refuse(Prefix, "melody", "must not be empty");
        try {
            c.Melody = ReadMelodyFile(lines);
        } catch (const EGSMError &e) {
            refuse(Prefix, "melody", e.what());
        }
    }
    // What every front end refuses; the field is the number's when a plain text to it would be
    // refused too, else the content's.
    if (const std::string refusal = OutgoingRefusal(out.To, c); !refusal.empty()) {
        TMessageContent probe;
        probe.Text = "x";
        const bool number = !OutgoingRefusal(out.To, probe).empty();
        refuse(Prefix, number ? "to" : c.Kind == TMessageKind::mkvCard ? "name" : "text", refusal);
    }
    return out;
}

namespace {

QString utf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue timeJson(TDateTime time)
{
    if (time == 0)
        return QJsonValue::Null;
    return QString::fromStdString(DateTimeToISO(time) + "Z");
}

} // namespace

QJsonObject StoredMessageJson(const TStoredMessage &m, bool Segments)
{
    QJsonObject json{{"id", static_cast<qint64>(m.Id)},
                     {"direction", m.Outgoing ? "sent" : "received"},
                     {"peer", utf8(m.Peer)},
                     {"time", timeJson(m.Time)},
                     {"kind", PayloadKindName(m.Kind)},
                     {"text", utf8(m.Text)},
                     {"status", StoredStatusName(m.Status)},
                     {"parts", m.Parts},
                     {"modem", utf8(m.Modem)}};
    if (!m.Error.empty())
        json["error"] = utf8(m.Error);
    if (m.Kind != TPayloadKind::pkText && !m.Payload.empty()) {
        QJsonObject payload{{"octets", static_cast<qint64>(m.Payload.size())}};
        if (m.DestPort >= 0)
            payload["port"] = m.DestPort;
        json["payload"] = payload;
    }
    if (!Segments)
        return json;
    QJsonArray parts;
    for (const TStoredSegment &s : m.Segments) {
        QJsonObject part{{"sequence", s.Sequence},
                         {"status", StoredStatusName(s.Status)},
                         {"reference", s.MR >= 0 ? QJsonValue(s.MR) : QJsonValue(QJsonValue::Null)},
                         {"time", timeJson(s.Time)}};
        if (s.ReportStatus >= 0)
            part["reportStatus"] = s.ReportStatus;
        parts.append(part);
    }
    json["segments"] = parts;
    return json;
}

} // namespace kestrel::api
