// Offline tools for smart messaging payloads: describe a received payload, convert ringing tones
// between RTTTL and the binary format, and convert pictures to and from OTA bitmaps.
#include "cli/clicommand.h"
#include "cli/payloadjson.h"
#include "connect/connection.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <QCommandLineParser>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <stdexcept>

namespace kestrel::cli {

namespace {

std::string bytesFromHex(const QString &hex)
{
    QString clean = hex;
    clean.remove(QRegularExpression(QStringLiteral("\\s")));
    return HexToStr(clean.toStdString());
}

QString hexOf(const std::string &bytes)
{
    return QString::fromStdString(StrToHex(bytes));
}

int usage(QCommandLineParser &parser, const QString &message)
{
    PrintErr(message);
    PrintErr(parser.helpText());
    return kExitUsage;
}

// Runs a command body, turning a failure into its message and the failure status.
int guarded(const QString &command, const std::function<int()> &body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        PrintErr(command + QStringLiteral(": ") + QString::fromUtf8(e.what()));
        return kExitFailure;
    }
}

int runPayload(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Describes a smart messaging payload as JSON."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("decode"), QStringLiteral("The action: decode."));
    parser.addPositionalArgument(QStringLiteral("HEX"), QStringLiteral("The payload octets in hexadecimal."));
    parser.addOption({QStringLiteral("port"), QStringLiteral("Destination port (decimal, or 0x hex)."),
                      QStringLiteral("N")});
    if (!parser.parse(args))
        return usage(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        PrintOut(parser.helpText());
        return kExitOk;
    }
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2 || pos[0] != QStringLiteral("decode"))
        return usage(parser, QStringLiteral("kestrel payload: expected \"decode HEX\""));
    if (!parser.isSet(QStringLiteral("port")))
        return usage(parser, QStringLiteral("kestrel payload: --port is required"));
    bool ok = false;
    const QString portText = parser.value(QStringLiteral("port"));
    const uint port = portText.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive)
                          ? portText.mid(2).toUInt(&ok, 16)
                          : portText.toUInt(&ok, 10);
    if (!ok || port > 0xFFFF)
        return usage(parser,
                     QStringLiteral("kestrel payload: bad port ") + parser.value(QStringLiteral("port")));
    return guarded(QStringLiteral("kestrel payload"), [&] {
        auto message = TSmartMessage::CreateFromPort(bytesFromHex(pos[1]), static_cast<uint16_t>(port));
        if (!message) {
            PrintErr(QStringLiteral("kestrel payload: no payload class for port %1").arg(port));
            return kExitFailure;
        }
        PrintOut(QString::fromUtf8(QJsonDocument(SmartMessageJson(*message)).toJson(QJsonDocument::Indented))
                     .trimmed());
        return kExitOk;
    });
}

int runRingtone(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Converts ringing tones between RTTTL text and the binary payload of port 5505."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("from-rtttl"), QStringLiteral("RTTTL text to convert to payload hex."),
                      QStringLiteral("TEXT")});
    parser.addOption({QStringLiteral("to-rtttl"), QStringLiteral("Payload hex to convert to RTTTL text."),
                      QStringLiteral("HEX")});
    if (!parser.parse(args))
        return usage(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        PrintOut(parser.helpText());
        return kExitOk;
    }
    const bool from = parser.isSet(QStringLiteral("from-rtttl"));
    const bool to = parser.isSet(QStringLiteral("to-rtttl"));
    if (from == to)
        return usage(parser,
                     QStringLiteral("kestrel ringtone: give exactly one of --from-rtttl and --to-rtttl"));
    return guarded(QStringLiteral("kestrel ringtone"), [&] {
        TSMRingingTone tone;
        if (from) {
            tone.SetRTTTL(parser.value(QStringLiteral("from-rtttl")));
            PrintOut(hexOf(tone.GetData()));
        } else {
            tone.SetData(bytesFromHex(parser.value(QStringLiteral("to-rtttl"))));
            PrintOut(tone.RTTTL());
        }
        return kExitOk;
    });
}

// The bitmap object of a kind, or the kind's wrapper (pictures travel inside a multipart message).
std::unique_ptr<TSMOTABitmap> bitmapOfKind(const QString &kind)
{
    if (kind == QStringLiteral("logo"))
        return std::make_unique<TSMOperatorLogo>();
    if (kind == QStringLiteral("cli"))
        return std::make_unique<TSMCLIIcon>();
    if (kind == QStringLiteral("screensaver"))
        return std::make_unique<TSMScreenSaver>();
    if (kind == QStringLiteral("picture"))
        return std::make_unique<TSMOTABitmap>();
    return nullptr;
}

bool wrappedInMultipart(const QString &kind)
{
    return kind == QStringLiteral("picture") || kind == QStringLiteral("screensaver");
}

int encodeBitmap(QCommandLineParser &parser, const QString &kind)
{
    const QString file = parser.value(QStringLiteral("encode"));
    int frames = 1;
    if (parser.isSet(QStringLiteral("frames"))) {
        bool ok = false;
        frames = parser.value(QStringLiteral("frames")).toInt(&ok);
        if (!ok || frames < 1 || frames > 16)
            return usage(parser, QStringLiteral("kestrel bitmap: --frames must be 1 to 16"));
    }
    uint16_t mcc = 0;
    uint8_t mnc = 0;
    if (kind == QStringLiteral("logo")) {
        const QString op = parser.value(QStringLiteral("operator"));
        static const QRegularExpression digits(QStringLiteral("^\\d{5,6}$"));
        if (!digits.match(op).hasMatch())
            return usage(parser,
                         QStringLiteral("kestrel bitmap: a logo needs --operator MCCMNC (5 or 6 digits)"));
        mcc = static_cast<uint16_t>(op.left(3).toUInt());
        mnc = static_cast<uint8_t>(op.mid(3).toUInt() % 100); // the logo carries two MNC digits
    }
    return guarded(QStringLiteral("kestrel bitmap"), [&] {
        const QImage image(file);
        if (image.isNull())
            throw std::runtime_error("cannot read the picture " + file.toStdString());
        // Dark pixels are set: reduce the picture to pure black and white first.
        QImage bw(image.size(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                bw.setPixel(x, y, qGray(image.pixel(x, y)) < 128 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        auto bitmap = bitmapOfKind(kind);
        bitmap->SetAnimationCount(frames - 1);
        bitmap->SetWidth(image.width() / frames);
        bitmap->SetHeight(image.height());
        bitmap->LoadFrames(bw);
        if (auto *logo = dynamic_cast<TSMOperatorLogo *>(bitmap.get())) {
            logo->MCC = mcc;
            logo->MNC = mnc;
        }
        std::string payload;
        if (wrappedInMultipart(kind)) {
            TSMMultipartMessage multi;
            multi.Items.push_back(std::move(bitmap));
            payload = multi.GetData();
        } else {
            payload = bitmap->GetData();
        }
        PrintOut(hexOf(payload));
        return kExitOk;
    });
}

int decodeBitmap(QCommandLineParser &parser, const QString &kind)
{
    const QString out = parser.value(QStringLiteral("out"));
    if (out.isEmpty())
        return usage(parser, QStringLiteral("kestrel bitmap: --decode needs --out FILE.png"));
    return guarded(QStringLiteral("kestrel bitmap"), [&] {
        const std::string payload = bytesFromHex(parser.value(QStringLiteral("decode")));
        std::unique_ptr<TSmartMessage> holder;
        const TSMOTABitmap *bitmap = nullptr;
        if (wrappedInMultipart(kind)) {
            auto multi = std::make_unique<TSMMultipartMessage>();
            multi->SetData(payload);
            for (const auto &item : multi->Items)
                if ((bitmap = dynamic_cast<const TSMOTABitmap *>(item.get())))
                    break;
            holder = std::move(multi);
            if (!bitmap)
                throw std::runtime_error("the multipart message holds no bitmap");
        } else {
            auto b = bitmapOfKind(kind);
            b->SetData(payload);
            bitmap = b.get();
            holder = std::move(b);
        }
        const int w = bitmap->Width(), h = bitmap->Height(), n = bitmap->FrameCount();
        if (w <= 0 || h <= 0)
            throw std::runtime_error("the bitmap is empty");
        // Frames side by side, as the picture editor keeps them.
        QImage image(w * n, h, QImage::Format_RGB32);
        image.fill(Qt::white);
        for (int i = 0; i < n; ++i) {
            const QImage &frame = bitmap->Frames(i);
            for (int y = 0; y < h && y < frame.height(); ++y)
                for (int x = 0; x < w && x < frame.width(); ++x)
                    if ((frame.pixel(x, y) & 0xFFFFFF) == 0)
                        image.setPixel(i * w + x, y, qRgb(0, 0, 0));
        }
        if (!image.save(out))
            throw std::runtime_error("cannot write " + out.toStdString());
        PrintOut(QStringLiteral("%1x%2, %3 frame(s) written to %4").arg(w).arg(h).arg(n).arg(out));
        return kExitOk;
    });
}

int runBitmap(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts a picture file to an OTA bitmap payload (hex), or a payload back to a picture."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("encode"),
                      QStringLiteral("Picture file to encode (dark pixels are set)."),
                      QStringLiteral("FILE")});
    parser.addOption(
        {QStringLiteral("decode"), QStringLiteral("Payload hex to decode."), QStringLiteral("HEX")});
    parser.addOption({QStringLiteral("kind"),
                      QStringLiteral("picture (port 5514), logo (5506), cli (5507) or screensaver (5514)."),
                      QStringLiteral("KIND"), QStringLiteral("picture")});
    parser.addOption({QStringLiteral("operator"), QStringLiteral("Network of a logo: MCC and MNC digits."),
                      QStringLiteral("MCCMNC")});
    parser.addOption({QStringLiteral("frames"),
                      QStringLiteral("Frames side by side in the picture (1 to 16)."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("out"), QStringLiteral("Picture file to write when decoding."),
                      QStringLiteral("FILE")});
    if (!parser.parse(args))
        return usage(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        PrintOut(parser.helpText());
        return kExitOk;
    }
    const QString kind = parser.value(QStringLiteral("kind"));
    if (!bitmapOfKind(kind))
        return usage(parser, QStringLiteral("kestrel bitmap: unknown kind ") + kind);
    const bool encode = parser.isSet(QStringLiteral("encode"));
    if (encode == parser.isSet(QStringLiteral("decode")))
        return usage(parser, QStringLiteral("kestrel bitmap: give exactly one of --encode and --decode"));
    return encode ? encodeBitmap(parser, kind) : decodeBitmap(parser, kind);
}

const TCliRegistration
    payloadCommand({QStringLiteral("payload"),
                    QStringLiteral("describe a smart messaging payload (decode --port N HEX)"), runPayload});
const TCliRegistration ringtoneCommand({QStringLiteral("ringtone"),
                                        QStringLiteral("convert ringing tones between RTTTL and payload hex"),
                                        runRingtone});
const TCliRegistration bitmapCommand({QStringLiteral("bitmap"),
                                      QStringLiteral("convert pictures to and from OTA bitmap payloads"),
                                      runBitmap});

} // namespace

} // namespace kestrel::cli
