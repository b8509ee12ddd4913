#include "appcore/messagerenderers.h"

#include "gsm/gsmerror.h"
#include "gsm/operators.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/payloadkind.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <QDateTime>
#include <QPainter>
#include <QStringDecoder>

namespace kestrel {

namespace {

// A frame of an EMS animation on screen; the standard leaves the pace to the handset.
constexpr int kEMSFrameMs = 250;
// A picture message's frames of an animated OTA bitmap.
constexpr int kOTAFrameMs = 400;

QString kindLabel(TPayloadKind kind)
{
    return QString::fromUtf8(PayloadKindLabel(kind));
}

QString fromUtf8(const std::string &s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

void appendLine(QString &text, const QString &line)
{
    if (line.isEmpty())
        return;
    if (!text.isEmpty())
        text += '\n';
    text += line;
}

TMessagePicture bitmapPicture(const TSMOTABitmap &bitmap, const QString &label, TMessageKind editorKind,
                              int frameMs)
{
    TMessagePicture picture;
    picture.Label = label;
    picture.EditorKind = editorKind;
    for (int i = 0; i < bitmap.FrameCount(); ++i)
        if (!bitmap.Frames(i).isNull())
            picture.Frames.push_back(bitmap.Frames(i));
    if (picture.Frames.size() > 1)
        picture.FrameMs = frameMs;
    return picture;
}

TMessageMelody ringingToneMelody(const TSMRingingTone &tone)
{
    TMessageMelody melody;
    melody.Melody = MelodyFromRingingTone(tone);
    melody.Title = melody.Melody.Name;
    melody.RTTTL = tone.RTTTL();
    melody.Notes = MelodyNotes(melody.Melody);
    return melody;
}

TMessageMelody iMelody(const TEMSSoundUserDef &sound)
{
    TMessageMelody melody;
    melody.EMS = true;
    melody.Melody = MelodyFromIMelody(sound);
    melody.Title = melody.Melody.Name;
    TSMRingingTone tone;
    BuildRingingTone(tone, melody.Melody);
    melody.RTTTL = tone.RTTTL();
    melody.Notes = MelodyNotes(melody.Melody);
    return melody;
}

QString melodyTitle(const QString &kind, const TMessageMelody &melody)
{
    return melody.Title.isEmpty() ? kind : QString("%1 \"%2\"").arg(kind, melody.Title);
}

// ---- one renderer per payload kind

class TTextRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkText; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        out.Text = fromUtf8(m.Text);
    }
};

// Picture messages and other multipart messages: text, pictures, screen savers, a ringing tone.
class TMultipartRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override
    {
        return m.Kind == TPayloadKind::pkPicture || m.Kind == TPayloadKind::pkMultipart;
    }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        out.Title = kindLabel(m.Kind);
        TSMMultipartMessage multipart;
        multipart.SetData(m.Payload);
        for (const auto &item : multipart.Items) {
            if (auto *screenSaver = dynamic_cast<const TSMScreenSaver *>(item.get()))
                out.Pictures.push_back(
                    bitmapPicture(*screenSaver, "Screen saver", TMessageKind::mkPicture, kOTAFrameMs));
            else if (auto *bitmap = dynamic_cast<const TSMOTABitmap *>(item.get()))
                out.Pictures.push_back(
                    bitmapPicture(*bitmap, "Picture", TMessageKind::mkPicture, kOTAFrameMs));
            else if (auto *profile = dynamic_cast<const TSMProfile *>(item.get()))
                appendLine(out.Text, "Profile: " + profile->Text);
            else if (auto *unicode = dynamic_cast<const TSMTextUnicode *>(item.get()))
                appendLine(out.Text, unicode->Text);
            else if (auto *iso = dynamic_cast<const TSMTextISO *>(item.get()))
                appendLine(out.Text,
                           QString::fromLatin1(iso->Text.data(), static_cast<qsizetype>(iso->Text.size())));
            else if (auto *tone = dynamic_cast<const TSMRingingTone *>(item.get()))
                out.Melody = ringingToneMelody(*tone);
        }
        if (out.Text.isEmpty() && out.Pictures.empty() && !out.Melody)
            out.Problem = "The message holds nothing this program can show";
    }
};

class TOperatorLogoRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkOperatorLogo; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        TSMOperatorLogo logo;
        logo.SetData(m.Payload);
        const int code = logo.MCC * 100 + logo.MNC;
        const QString name = OperatorName(code);
        const QString numbers =
            QString("%1 %2").arg(logo.MCC, 3, 10, QChar('0')).arg(logo.MNC, 2, 10, QChar('0'));
        out.Title = name.isEmpty() ? QString("Operator logo (%1)").arg(numbers)
                                   : QString("Operator logo %1 (%2)").arg(name, numbers);
        TMessagePicture picture =
            bitmapPicture(logo, kindLabel(m.Kind), TMessageKind::mkOperatorLogo, kOTAFrameMs);
        picture.Operator = code;
        out.Pictures.push_back(std::move(picture));
    }
};

class TCLIIconRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkCLIIcon; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        TSMCLIIcon icon;
        icon.SetData(m.Payload);
        out.Title = kindLabel(m.Kind);
        out.Pictures.push_back(bitmapPicture(icon, out.Title, TMessageKind::mkCLIIcon, kOTAFrameMs));
    }
};

class TRingingToneRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkRingtone; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        TSMRingingTone tone;
        tone.SetData(m.Payload);
        out.Melody = ringingToneMelody(tone);
        out.Title = melodyTitle(kindLabel(m.Kind), *out.Melody);
    }
};

class TVCardRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkVCard; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        TSMvCard card;
        card.SetData(m.Payload);
        const TDirectoryRecords &r = card.Records;
        QString name = TextFromOctets(r.Values("FN"));
        if (name.isEmpty()) {
            // N is "family;given;additional;prefix;suffix": shown as a person writes it.
            QStringList parts = TextFromOctets(r.Values("N")).split(';');
            if (parts.size() > 1)
                parts.swapItemsAt(0, 1);
            parts.removeAll(QString());
            name = parts.join(' ');
        }
        out.Title = "vCard";
        appendLine(out.Text, name);
        for (int i = 0; i < r.Count(); ++i) {
            if (QString::fromStdString(r.Names(i)).compare("TEL", Qt::CaseInsensitive) != 0)
                continue;
            QStringList types;
            for (const std::string &p : r.Parameters(i))
                types << QString::fromLatin1(p).section('=', -1).toLower();
            const QString number = TextFromOctets(r.ValueFromIndex(i));
            appendLine(out.Text, types.isEmpty() ? number : types.join(", ") + ": " + number);
        }
        if (out.Text.isEmpty())
            out.Problem = "The vCard holds no name and no number";
    }
};

class TVCalendarRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkVCalendar; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        TSMvCalendar calendar;
        calendar.SetData(withoutNestedObjects(m.Payload));
        const TDirectoryRecords &r = calendar.Records;
        out.Title = "vCalendar";
        appendLine(out.Text, TextFromOctets(r.Values("SUMMARY")));
        const QString start = when(r.Values("DTSTART")), end = when(r.Values("DTEND"));
        appendLine(out.Text, end.isEmpty() || end == start ? start : start + " to " + end);
        appendLine(out.Text, TextFromOctets(r.Values("LOCATION")));
        if (out.Text.isEmpty())
            out.Problem = "The vCalendar holds no summary and no time";
    }

private:
    // The records of the events and to-dos inside the calendar as records of the calendar: the
    // directory reader takes one level, and a calendar nests its entries one level deeper.
    static std::string withoutNestedObjects(const std::string &payload)
    {
        std::string out;
        size_t start = 0;
        while (start < payload.size()) {
            size_t end = payload.find_first_of("\r\n", start);
            if (end == std::string::npos)
                end = payload.size();
            size_t next = end;
            while (next < payload.size() && (payload[next] == '\r' || payload[next] == '\n') &&
                   next - end < 2)
                ++next;
            const QString line = QString::fromLatin1(payload.substr(start, end - start)).trimmed().toUpper();
            const bool nested =
                (line.startsWith("BEGIN:") || line.startsWith("END:")) && !line.endsWith(":VCALENDAR");
            if (!nested)
                out += payload.substr(start, next - start);
            start = next;
        }
        return out;
    }
    // "20020312T103000Z" as "2002-03-12 10:30 UTC"; anything else as it came.
    static QString when(const std::string &value)
    {
        QString v = QString::fromLatin1(value).trimmed();
        if (v.isEmpty())
            return {};
        const bool utc = v.endsWith('Z');
        const QString bare = utc ? v.chopped(1) : v;
        const QDateTime t =
            QDateTime::fromString(bare, bare.size() == 13 ? "yyyyMMdd'T'HHmm" : "yyyyMMdd'T'HHmmss");
        if (t.isValid())
            return t.toString("yyyy-MM-dd HH:mm") + (utc ? " UTC" : "");
        const QDate d = QDate::fromString(bare, "yyyyMMdd");
        return d.isValid() ? d.toString("yyyy-MM-dd") : v;
    }
};

class TEMSRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkEMS; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        out.Text = fromUtf8(m.Text);
        TUDHProtocol protocol;
        if (!DecodeHeaderElements(m.Payload, protocol))
            out.Problem = "The EMS elements run past their end";
        TEMS ems;
        try {
            ems.LoadFromUDH(protocol);
        } catch (const std::exception &e) {
            // The objects before a melody that does not parse are still shown.
            out.Problem = QString("An EMS melody cannot be read: %1").arg(e.what());
        }
        QStringList kinds;
        for (const auto &item : ems.Items) {
            if (auto *animation = dynamic_cast<const TEMSAnimation *>(item.get())) {
                TMessagePicture p;
                const bool large = dynamic_cast<const TEMSAnimationLarge *>(item.get());
                p.Label = large ? "EMS animation (large)" : "EMS animation (small)";
                p.EditorKind = large ? TMessageKind::mkEMSAnimationLarge : TMessageKind::mkEMSAnimationSmall;
                for (int i = 0; i < TEMSAnimation::kFrameCount; ++i)
                    if (!animation->Frames(i).isNull())
                        p.Frames.push_back(animation->Frames(i));
                p.FrameMs = kEMSFrameMs;
                addPicture(out, std::move(p), kinds, "animation");
            } else if (auto *picture = dynamic_cast<const TEMSPicture *>(item.get())) {
                TMessagePicture p;
                if (dynamic_cast<const TEMSPictureSmall *>(item.get())) {
                    p.Label = "EMS picture (small)";
                    p.EditorKind = TMessageKind::mkEMSPictureSmall;
                } else if (dynamic_cast<const TEMSPictureLarge *>(item.get())) {
                    p.Label = "EMS picture (large)";
                    p.EditorKind = TMessageKind::mkEMSPictureLarge;
                } else {
                    p.Label = "EMS picture";
                    p.EditorKind = TMessageKind::mkEMSPictureVariable;
                }
                if (!picture->Bitmap().isNull())
                    p.Frames.push_back(picture->Bitmap());
                addPicture(out, std::move(p), kinds, "picture");
            } else if (auto *sound = dynamic_cast<const TEMSSoundUserDef *>(item.get())) {
                if (!out.Melody)
                    out.Melody = iMelody(*sound);
                kinds << "melody";
            } else if (auto *predefSound = dynamic_cast<const TEMSSoundPredef *>(item.get())) {
                kinds << QString("sound %1").arg(predefSound->SoundNumber);
            } else if (auto *predefAnimation = dynamic_cast<const TEMSAnimationPredef *>(item.get())) {
                kinds << QString("animation %1").arg(predefAnimation->AnimationNumber);
            }
        }
        kinds.removeDuplicates();
        out.Title = kinds.isEmpty() ? kindLabel(m.Kind) : "EMS " + kinds.join(", ");
        if (out.Melody && !out.Melody->Title.isEmpty())
            out.Title += QString(" \"%1\"").arg(out.Melody->Title);
    }

private:
    static void addPicture(TRenderedMessage &out, TMessagePicture p, QStringList &kinds, const char *kind)
    {
        if (p.Frames.empty())
            return;
        kinds << kind;
        out.Pictures.push_back(std::move(p));
    }
};

// Siemens OTA objects: named files whose content this program does not interpret.
class TOTARenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &m) const override { return m.Kind == TPayloadKind::pkOTA; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        out.Title = kindLabel(m.Kind);
        appendLine(out.Text, fromUtf8(m.Text));
        appendLine(out.Text, QString("%1 octets").arg(m.Payload.size()));
    }
};

// Anything else: data for an application port, shown as what it is and how much.
class TDataRenderer : public TPayloadRenderer {
public:
    bool Accepts(const TStoredMessage &) const override { return true; }
    void Render(const TStoredMessage &m, TRenderedMessage &out) const override
    {
        out.Title = m.DestPort >= 0 ? QString("Data for port %1").arg(m.DestPort) : kindLabel(m.Kind);
        appendLine(out.Text, fromUtf8(m.Text));
        constexpr size_t kShown = 32;
        const std::string head = m.Payload.substr(0, kShown);
        QString hex = QByteArray(head.data(), static_cast<qsizetype>(head.size())).toHex(' ').toUpper();
        if (m.Payload.size() > kShown)
            hex += " ...";
        appendLine(out.Text, QString("%1 octets: %2").arg(m.Payload.size()).arg(hex));
    }
};

} // namespace

QImage TMessagePicture::Strip() const
{
    if (Frames.empty())
        return {};
    const int w = Frames.front().width(), h = Frames.front().height();
    QImage strip(w * static_cast<int>(Frames.size()), h, QImage::Format_RGB32);
    strip.fill(Qt::white);
    QPainter p(&strip);
    for (size_t i = 0; i < Frames.size(); ++i)
        p.drawImage(static_cast<int>(i) * w, 0, Frames[i]);
    return strip;
}

bool TRenderedMessage::Animated() const
{
    for (const auto &p : Pictures)
        if (p.Frames.size() > 1 && p.FrameMs > 0)
            return true;
    return false;
}

const std::vector<std::unique_ptr<TPayloadRenderer>> &PayloadRenderers()
{
    static const std::vector<std::unique_ptr<TPayloadRenderer>> renderers = [] {
        std::vector<std::unique_ptr<TPayloadRenderer>> r;
        r.push_back(std::make_unique<TTextRenderer>());
        r.push_back(std::make_unique<TMultipartRenderer>());
        r.push_back(std::make_unique<TOperatorLogoRenderer>());
        r.push_back(std::make_unique<TCLIIconRenderer>());
        r.push_back(std::make_unique<TRingingToneRenderer>());
        r.push_back(std::make_unique<TVCardRenderer>());
        r.push_back(std::make_unique<TVCalendarRenderer>());
        r.push_back(std::make_unique<TEMSRenderer>());
        r.push_back(std::make_unique<TOTARenderer>());
        r.push_back(std::make_unique<TDataRenderer>());
        return r;
    }();
    return renderers;
}

TRenderedMessage RenderMessage(const TStoredMessage &message)
{
    TRenderedMessage out;
    const bool incomplete = message.Status == TStoredStatus::ssIncomplete ||
                            (!message.Outgoing && message.PartsPresent < message.Parts);
    if (incomplete) {
        out.Progress = QString("%1 of %2 parts").arg(message.PartsPresent).arg(message.Parts);
        if (message.Kind != TPayloadKind::pkText)
            out.Title = kindLabel(message.Kind);
        // What has come: the text of the parts present; a payload is shown once it is whole.
        out.Text = fromUtf8(message.Text);
        return out;
    }
    for (const auto &renderer : PayloadRenderers()) {
        if (!renderer->Accepts(message))
            continue;
        try {
            renderer->Render(message, out);
        } catch (const std::exception &e) {
            if (out.Title.isEmpty())
                out.Title = kindLabel(message.Kind);
            out.Problem =
                QString("%1 cannot be shown: %2").arg(kindLabel(message.Kind), QString::fromUtf8(e.what()));
        }
        break;
    }
    return out;
}

QString MessageSummary(TPayloadKind kind, const std::string &text)
{
    const QString line = fromUtf8(text).section('\n', 0, 0).trimmed();
    if (kind == TPayloadKind::pkText)
        return line;
    return line.isEmpty() ? kindLabel(kind) : QString("%1: %2").arg(kindLabel(kind), line);
}

QString TextFromOctets(std::string_view octets)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(QByteArrayView(octets.data(), static_cast<qsizetype>(octets.size())));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(octets.data(), static_cast<qsizetype>(octets.size()));
}

QString MelodyNotes(const TMelody &melody)
{
    QStringList tokens;
    int tempo = -1;
    for (const TMelodyRow &row : melody.Rows) {
        // A pause has no octave.
        const QString note = RTTTLNote(row.Note, row.Duration, row.Note == 0 ? 1 : row.Scale, row.Duration2);
        if (note.isEmpty())
            continue;
        if (row.Tempo != tempo) {
            tempo = row.Tempo;
            tokens << QString("%1 bpm: %2").arg(TSMRTTempo::ToBPM(tempo)).arg(note);
        } else {
            tokens << note;
        }
    }
    return tokens.join(", ");
}

} // namespace kestrel
