#include "app/welcomemessages.h"

#include "base/datetime.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simnetwork.h"

#include <QFont>
#include <QPainter>

namespace kestrel {

namespace {

// Text drawn black on white at 1:1, without smoothing, as a handset's pixels.
QImage drawnText(int width, int height, const QString &text, int pixelSize)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing, false);
    QFont font;
    font.setPixelSize(pixelSize);
    font.setBold(true);
    font.setStyleStrategy(QFont::NoAntialias);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRect(0, 0, width, height), Qt::AlignCenter, text);
    p.end();
    // Whatever the font did, only black and white remain.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qGray(image.pixel(x, y)) < 128 ? 0xFF000000u : 0xFFFFFFFFu);
    return image;
}

TMessageContent text(const QString &t)
{
    TMessageContent c;
    c.Text = t;
    c.MessageClass = 1;
    return c;
}

} // namespace

std::vector<TMessageContent> WelcomeContents()
{
    std::vector<TMessageContent> out;
    out.push_back(text("Welcome to GSM Kestrel. This conversation is the virtual handset talking to itself: "
                       "what you send to its own number comes back here."));

    TMessageContent picture;
    picture.Kind = TMessageKind::mkPicture;
    picture.Width = 72;
    picture.Height = 28;
    picture.Picture = drawnText(72, 28, "Kestrel", 16);
    for (int x = 4; x < 68; ++x)
        picture.Picture.setPixel(x, 25, 0xFF000000u);
    picture.Text = "A picture message";
    out.push_back(picture);

    TMessageContent logo;
    logo.Kind = TMessageKind::mkOperatorLogo;
    logo.Width = 72;
    logo.Height = 14;
    logo.Operator = 26201;
    logo.Picture = drawnText(72, 14, "D1 net", 12);
    out.push_back(logo);

    out.push_back(text(QString::fromUtf8("Привет! Сообщения на любом языке \xE2\x98\xBA")));

    TMessageContent tone;
    tone.Kind = TMessageKind::mkRingingTone;
    tone.Melody.Name = "Kestrel";
    for (auto [note, duration] : {std::pair{1, 3}, {5, 3}, {8, 3}, {1, 2}, {0, 3}, {8, 3}, {5, 3}, {1, 1}})
        tone.Melody.Rows.push_back(
            TMelodyRow{note == 1 && duration == 2 ? 2 : 1, note, duration, 0, 13, 0, 7});
    out.push_back(tone);

    TMessageContent animation;
    animation.Kind = TMessageKind::mkEMSAnimationSmall;
    animation.Text = "An EMS animation";
    animation.Picture = QImage(32, 8, QImage::Format_RGB32);
    animation.Picture.fill(Qt::white);
    // A dot running round a square, one corner per frame.
    const int corners[4][2] = {{1, 1}, {5, 1}, {5, 5}, {1, 5}};
    for (int f = 0; f < 4; ++f)
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx)
                animation.Picture.setPixel(f * 8 + corners[f][0] + dx, corners[f][1] + dy, 0xFF000000u);
    out.push_back(animation);

    TMessageContent card;
    card.Kind = TMessageKind::mkvCard;
    card.vCardName = "Kestrel Support";
    card.vCardPhone = "+491710000001";
    out.push_back(card);

    out.push_back(text(QString::fromUtf8("שלום! مرحبا! Text from right to left")));
    return out;
}

std::vector<std::string> WelcomeDeliveries(const std::string &from)
{
    TMessageComposer composer;
    composer.ReferenceCounter = 200;
    std::vector<std::string> out;
    // A fixed time, so that the store knows them again on the next simulated start.
    const TDateTime sent = EncodeDate(2026, 1, 1) + EncodeTime(12, 0, 0, 0);
    int n = 0;
    for (const TMessageContent &c : WelcomeContents()) {
        for (const auto &submit : composer.Compose(from, c, SimBareContext())) {
            // A second apart, so that they read in order.
            const TDateTime at = sent + n++ / 86400.0;
            out.push_back(StrToHex(SimDeliverFromSubmit(submit->Encode(), from, at)));
        }
    }
    return out;
}

int StoreWelcomeMessages(TModemSimulator &simulator, const std::string &from)
{
    int stored = 0;
    for (const std::string &pdu : WelcomeDeliveries(from))
        if (simulator.StoreMessage("SM", 0, pdu) > 0 || simulator.StoreMessage("ME", 0, pdu) > 0)
            ++stored;
    return stored;
}

} // namespace kestrel
