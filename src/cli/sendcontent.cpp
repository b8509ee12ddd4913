#include "cli/sendcontent.h"

#include "connect/connection.h"
#include "gsm/sms.h"
#include "xsms/composer.h"

#include <QFile>
#include <QImage>
#include <QTextStream>

namespace kestrel::cli {

namespace {

// The options that each choose a kind; --text alone is a text message, beside a picture or an
// EMS object it is the text that goes with it.
const char *const kKindOptions[] = {"ucs2", "ems-text", "vcard",       "picture",       "logo",
                                    "cli",  "ringtone", "ems-picture", "ems-animation", "ems-melody"};

QString loadPicture(const QString &file, QImage &image)
{
    if (!image.load(file))
        return QString("cannot read the picture %1").arg(file);
    return {};
}

QString loadMelody(const QString &file, TMelody &melody)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString("cannot read the melody %1").arg(file);
    QStringList lines;
    QTextStream in(&f);
    in.setEncoding(QStringConverter::Latin1);
    while (!in.atEnd())
        lines << in.readLine();
    while (!lines.isEmpty() && lines.back().trimmed().isEmpty())
        lines.removeLast();
    melody = ReadMelodyFile(lines);
    return {};
}

} // namespace

void AddSendContentOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {"text", "Text message, or the text that goes with a picture or an EMS object.", "TEXT"},
        {"class", "Message class 0 to 3 of a text message (default 2).", "N"},
        {"ucs2", "Text message in UCS2.", "TEXT"},
        {"ems-text",
         "EMS text: the parts between U+0165 and U+0164 (the window's blink markers) blink, sent as "
         "text formatting.",
         "TEXT"},
        {"vcard", "Business card with this name (needs --phone).", "NAME"},
        {"phone", "Phone number of the business card.", "NUMBER"},
        {"picture", "Picture message from an image file (optionally with --text).", "FILE"},
        {"logo", "Operator logo from an image file (needs --operator).", "FILE"},
        {"operator", "Mobile country and network code of the logo, e.g. 26201.", "MCCMNC"},
        {"cli", "Caller group icon from an image file.", "FILE"},
        {"ringtone", "Ringing tone from a melody file (RTTTL or the melody table's format).", "FILE"},
        {"ems-picture", "EMS picture from an image file.", "FILE"},
        {"size", "EMS picture size small, large or variable (default); animation small or large.", "SIZE"},
        {"ems-animation", "EMS animation: four frames side by side in an image file.", "FILE"},
        {"ems-melody", "EMS melody (iMelody) from a melody file.", "FILE"},
        {"status-report", "Request a status report."},
    });
}

QString SendContentHelp()
{
    return "Kinds: --text TEXT [--class N] | --ucs2 TEXT | --ems-text TEXT [--class N] |\n"
           "  --vcard NAME --phone NUMBER |\n"
           "  --picture FILE [--text TEXT] | --logo FILE --operator MCCMNC | --cli FILE |\n"
           "  --ringtone FILE | --ems-picture FILE [--size small|large|variable] [--text TEXT] |\n"
           "  --ems-animation FILE [--size small|large] [--text TEXT] | --ems-melody FILE [--text TEXT]\n"
           "A long text goes as a concatenated message; text the GSM alphabet cannot carry goes as UCS2.";
}

QString ReadSendContent(const QCommandLineParser &parser, TMessageContent &content)
{
    QString kind;
    for (const char *option : kKindOptions)
        if (parser.isSet(option)) {
            if (!kind.isEmpty())
                return QString("--%1 and --%2 exclude each other").arg(kind, option);
            kind = option;
        }
    if (kind.isEmpty()) {
        if (!parser.isSet("text"))
            return "nothing to send: give --text or another kind";
        kind = "text";
    }
    content.Text = parser.value("text");
    content.StatusReport = parser.isSet("status-report");
    if (parser.isSet("class")) {
        bool ok = false;
        content.MessageClass = parser.value("class").toInt(&ok);
        if (!ok || content.MessageClass < 0 || content.MessageClass > 3)
            return "--class takes 0, 1, 2 or 3";
    }
    const QString size = parser.value("size").toLower();
    const QString file = parser.value(kind);
    if (kind == "text") {
        content.Kind = TMessageKind::mkText;
    } else if (kind == "ems-text") {
        if (parser.isSet("text"))
            return "--ems-text and --text exclude each other";
        content.Kind = TMessageKind::mkText;
        content.Text = file;
    } else if (kind == "ucs2") {
        content.Kind = TMessageKind::mkUCS2Text;
        content.Text = file;
    } else if (kind == "vcard") {
        if (!parser.isSet("phone"))
            return "--vcard needs --phone";
        content.Kind = TMessageKind::mkvCard;
        content.vCardName = file;
        content.vCardPhone = parser.value("phone");
    } else if (kind == "picture" || kind == "logo" || kind == "cli") {
        content.Kind = kind == "picture" ? TMessageKind::mkPicture
                       : kind == "logo"  ? TMessageKind::mkOperatorLogo
                                         : TMessageKind::mkCLIIcon;
        if (kind == "logo") {
            bool ok = false;
            content.Operator = parser.value("operator").toInt(&ok);
            if (!ok || content.Operator < 0 || content.Operator > 99999)
                return "--logo needs --operator with the five digits of MCC and MNC";
        }
        if (QString e = loadPicture(file, content.Picture); !e.isEmpty())
            return e;
        content.Width = content.Picture.width();
        content.Height = content.Picture.height();
    } else if (kind == "ems-picture") {
        content.Kind = size == "small"   ? TMessageKind::mkEMSPictureSmall
                       : size == "large" ? TMessageKind::mkEMSPictureLarge
                                         : TMessageKind::mkEMSPictureVariable;
        if (!size.isEmpty() && size != "small" && size != "large" && size != "variable")
            return "--size of a picture is small, large or variable";
        if (QString e = loadPicture(file, content.Picture); !e.isEmpty())
            return e;
        content.Width = content.Picture.width();
        content.Height = content.Picture.height();
    } else if (kind == "ems-animation") {
        if (size != "small" && size != "large")
            return "--ems-animation needs --size small or large";
        content.Kind =
            size == "small" ? TMessageKind::mkEMSAnimationSmall : TMessageKind::mkEMSAnimationLarge;
        content.Width = content.Height = size == "small" ? 8 : 16;
        if (QString e = loadPicture(file, content.Picture); !e.isEmpty())
            return e;
    } else {
        content.Kind = kind == "ringtone" ? TMessageKind::mkRingingTone : TMessageKind::mkEMSMelody;
        if (QString e = loadMelody(file, content.Melody); !e.isEmpty())
            return e;
    }
    return {};
}

} // namespace kestrel::cli
