#include "appcore/messagerenderers.h"
#include "app/operators.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TStoredMessage stored(TPayloadKind kind, const std::string &payload, const std::string &text = {},
                      int port = -1)
{
    TStoredMessage m;
    m.Kind = kind;
    m.Payload = payload;
    m.Text = text;
    m.DestPort = port;
    return m;
}

// A bitmap with the given pixels black.
template <class T>
void drawPixels(T &bitmap, int w, int h, std::initializer_list<std::pair<int, int>> black)
{
    bitmap.SetWidth(w);
    bitmap.SetHeight(h);
    QImage source(w, h, QImage::Format_RGB32);
    source.fill(Qt::white);
    for (auto [x, y] : black)
        source.setPixel(x, y, 0xFF000000u);
    bitmap.LoadFrames(source);
}

bool black(const QImage &image, int x, int y)
{
    return (image.pixel(x, y) & 0xFFFFFF) == 0;
}

// Text in any script is what the store holds, unchanged.
TEST(MessageRenderers, TextInAnyScript)
{
    for (const char *text :
         {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x91\x8B", // Cyrillic, emoji
          "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D",                                  // Hebrew
          "two\nlines", ""}) {
        const TRenderedMessage r = RenderMessage(stored(TPayloadKind::pkText, {}, text));
        EXPECT_EQ(r.Text, QString::fromUtf8(text));
        EXPECT_TRUE(r.Title.isEmpty());
        EXPECT_TRUE(r.Pictures.empty());
        EXPECT_TRUE(r.Problem.isEmpty());
    }
}

TEST(MessageRenderers, PictureMessageShowsItsPictureAndText)
{
    TSMMultipartMessage multipart;
    auto text = std::make_unique<TSMTextISO>();
    text->Text = "Gr\xFC\xDF"
                 "e"; // Latin-1
    auto bitmap = std::make_unique<TSMOTABitmap>();
    drawPixels(*bitmap, 72, 28, {{3, 4}, {71, 27}});
    multipart.Items.push_back(std::move(text));
    multipart.Items.push_back(std::move(bitmap));
    const TRenderedMessage r =
        RenderMessage(stored(TPayloadKind::pkPicture, multipart.GetData(), "", kSMPortMultipart));
    EXPECT_EQ(r.Title, "Picture message");
    EXPECT_EQ(r.Text, QString::fromUtf8("Grüße"));
    ASSERT_EQ(r.Pictures.size(), 1u);
    const TMessagePicture &p = r.Pictures[0];
    ASSERT_EQ(p.Frames.size(), 1u);
    EXPECT_EQ(p.Frames[0].size(), QSize(72, 28));
    EXPECT_TRUE(black(p.Frames[0], 3, 4));
    EXPECT_TRUE(black(p.Frames[0], 71, 27));
    EXPECT_FALSE(black(p.Frames[0], 4, 4));
    EXPECT_EQ(p.EditorKind, TMessageKind::mkPicture);
    EXPECT_FALSE(r.Animated());
    EXPECT_TRUE(r.Problem.isEmpty()) << r.Problem.toStdString();
}

TEST(MessageRenderers, OperatorLogoNamesItsOperator)
{
    struct {
        int mcc, mnc;
        QString numbers;
    } cases[] = {{262, 1, "262 01"}, {999, 99, "999 99"}};
    for (const auto &c : cases) {
        TSMOperatorLogo logo;
        logo.MCC = static_cast<uint16_t>(c.mcc);
        logo.MNC = static_cast<uint8_t>(c.mnc);
        drawPixels(logo, 72, 14, {{0, 0}, {10, 13}});
        const TRenderedMessage r = RenderMessage(stored(TPayloadKind::pkOperatorLogo, logo.GetData()));
        const QString name = OperatorName(c.mcc * 100 + c.mnc);
        EXPECT_EQ(r.Title, name.isEmpty() ? "Operator logo (" + c.numbers + ")"
                                          : "Operator logo " + name + " (" + c.numbers + ")");
        ASSERT_EQ(r.Pictures.size(), 1u);
        EXPECT_EQ(r.Pictures[0].Operator, c.mcc * 100 + c.mnc);
        EXPECT_EQ(r.Pictures[0].EditorKind, TMessageKind::mkOperatorLogo);
        ASSERT_EQ(r.Pictures[0].Frames.size(), 1u);
        EXPECT_EQ(r.Pictures[0].Frames[0].size(), QSize(72, 14));
        EXPECT_TRUE(black(r.Pictures[0].Frames[0], 10, 13));
        EXPECT_FALSE(black(r.Pictures[0].Frames[0], 11, 13));
    }
    // The built-in entries are always known.
    EXPECT_FALSE(OperatorName(26201).isEmpty());
    EXPECT_TRUE(OperatorName(-1).isEmpty());
}

TEST(MessageRenderers, CallerIcon)
{
    TSMCLIIcon icon;
    drawPixels(icon, 16, 16, {{15, 15}});
    const TRenderedMessage r = RenderMessage(stored(TPayloadKind::pkCLIIcon, icon.GetData()));
    EXPECT_EQ(r.Title, "Caller icon");
    ASSERT_EQ(r.Pictures.size(), 1u);
    EXPECT_TRUE(black(r.Pictures[0].Frames[0], 15, 15));
    EXPECT_EQ(r.Pictures[0].EditorKind, TMessageKind::mkCLIIcon);
}

TEST(MessageRenderers, RingingToneShowsTitleAndNotes)
{
    TSMRingingTone tone;
    tone.SetRTTTL("Scale:d=4,o=5,b=63:c,8d#6.,p");
    const TRenderedMessage r = RenderMessage(stored(TPayloadKind::pkRingtone, tone.GetData()));
    EXPECT_EQ(r.Title, "Ringing tone \"Scale\"");
    ASSERT_TRUE(r.Melody);
    EXPECT_FALSE(r.Melody->EMS);
    EXPECT_EQ(r.Melody->Title, "Scale");
    ASSERT_EQ(r.Melody->Melody.Rows.size(), 3u);
    EXPECT_EQ(r.Melody->Melody.Rows[0].Note, 1);
    EXPECT_EQ(r.Melody->Melody.Rows[1].Note, 4);
    EXPECT_EQ(r.Melody->Melody.Rows[2].Note, 0);
    EXPECT_EQ(r.Melody->RTTTL, tone.RTTTL());
    EXPECT_EQ(r.Melody->Notes, "63 bpm: c, 8d#6., p");
}

// The notes as a reader takes them: the tempo stands before the notes it governs, never glued to
// a note as RTTTL's inline "b=" is.
TEST(MessageRenderers, MelodyNotesForReading)
{
    const struct {
        const char *rtttl;
        const char *notes;
    } cases[] = {
        {"A:d=4,o=5,b=112:8c,8e,8g,c6,8p,2c", "112 bpm: 8c, 8e, 8g, c6, 8p, 2c"},
        {"B:d=4,o=5,b=63:c,8db=140,e,32f#4;,1a#7.", "63 bpm: c, 140 bpm: 8d, e, 32f#4;, 1a#7."},
        {"C:d=16,o=6,b=200:p,h", "200 bpm: 16p, 16h6"},
        {"D:d=4,o=5,b=63:", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rtttl);
        TSMRingingTone tone;
        tone.SetRTTTL(c.rtttl);
        EXPECT_EQ(MelodyNotes(MelodyFromRingingTone(tone)), c.notes);
    }
}

TEST(MessageRenderers, DirectoryRecords)
{
    struct {
        TPayloadKind kind;
        const char *payload;
        QString title, text;
    } cases[] = {
        {TPayloadKind::pkVCard,
         "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Doe;John\r\nTEL;CELL:+441234567890\r\nTEL;PREF;HOME:0123\r\nEND:"
         "VCARD\r\n",
         "vCard", "John Doe\ncell: +441234567890\npref, home: 0123"},
        {TPayloadKind::pkVCard,
         "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:J\xC3\xBCrgen\r\nTEL:+4930\r\nEND:VCARD\r\n", "vCard",
         QString::fromUtf8("Jürgen\n+4930")},
        {TPayloadKind::pkVCalendar,
         "BEGIN:VCALENDAR\r\nVERSION:1.0\r\nBEGIN:VEVENT\r\nSUMMARY:Meeting\r\nDTSTART:20020312T103000Z\r\n"
         "DTEND:20020312T113000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n",
         "vCalendar", "Meeting\n2002-03-12 10:30 UTC to 2002-03-12 11:30 UTC"},
        {TPayloadKind::pkVCalendar,
         "BEGIN:VCALENDAR\r\nVERSION:1.0\r\nBEGIN:VEVENT\r\nSUMMARY:Day\r\nDTSTART:20240229\r\nEND:"
         "VEVENT\r\nEND:VCALENDAR\r\n",
         "vCalendar", "Day\n2024-02-29"},
    };
    for (const auto &c : cases) {
        const TRenderedMessage r = RenderMessage(stored(c.kind, c.payload));
        EXPECT_EQ(r.Title, c.title);
        EXPECT_EQ(r.Text, c.text) << r.Text.toStdString() << " / " << r.Problem.toStdString();
    }
}

TEST(MessageRenderers, EMSAnimationPictureAndMelody)
{
    TEMS ems;
    auto animation = std::make_unique<TEMSAnimationSmall>();
    QImage frames(4 * animation->Width(), animation->Height(), QImage::Format_RGB32);
    frames.fill(Qt::white);
    for (int f = 0; f < 4; ++f)
        frames.setPixel(f * animation->Width() + f, f, 0xFF000000u); // a dot moving down the diagonal
    animation->LoadFrames(frames);
    auto picture = std::make_unique<TEMSPictureSmall>();
    QImage still(picture->Width(), picture->Height(), QImage::Format_RGB32);
    still.fill(Qt::white);
    still.setPixel(2, 3, 0xFF000000u);
    picture->LoadImage(still);
    auto sound = std::make_unique<TEMSSoundUserDef>();
    TMelody tune;
    tune.Name = "Tune";
    tune.Rows = {TMelodyRow{1, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 5, 2, 0, 8, 0, 7}};
    BuildIMelody(*sound, tune);
    ems.Items.push_back(std::move(animation));
    ems.Items.push_back(std::move(picture));
    ems.Items.push_back(std::move(sound));
    TUDHProtocol protocol;
    ems.SaveToUDH(protocol);

    const TRenderedMessage r =
        RenderMessage(stored(TPayloadKind::pkEMS, EncodeHeaderElements(protocol), "Look"));
    EXPECT_EQ(r.Text, "Look");
    EXPECT_EQ(r.Title, "EMS animation, picture, melody \"Tune\"");
    ASSERT_EQ(r.Pictures.size(), 2u);
    ASSERT_EQ(r.Pictures[0].Frames.size(), 4u);
    for (int f = 0; f < 4; ++f) {
        EXPECT_TRUE(black(r.Pictures[0].Frames[f], f, f)) << f;
        EXPECT_FALSE(black(r.Pictures[0].Frames[f], (f + 1) % 4, (f + 1) % 4)) << f;
    }
    EXPECT_GT(r.Pictures[0].FrameMs, 0);
    EXPECT_EQ(r.Pictures[0].EditorKind, TMessageKind::mkEMSAnimationSmall);
    EXPECT_TRUE(r.Animated());
    ASSERT_EQ(r.Pictures[1].Frames.size(), 1u);
    EXPECT_TRUE(black(r.Pictures[1].Frames[0], 2, 3));
    EXPECT_EQ(r.Pictures[1].EditorKind, TMessageKind::mkEMSPictureSmall);
    // The strip holds the frames side by side, as the editor does.
    EXPECT_EQ(r.Pictures[0].Strip().width(), 4 * r.Pictures[0].Frames[0].width());
    EXPECT_TRUE(black(r.Pictures[0].Strip(), 3 * r.Pictures[0].Frames[0].width() + 3, 3));
    ASSERT_TRUE(r.Melody);
    EXPECT_TRUE(r.Melody->EMS);
    ASSERT_EQ(r.Melody->Melody.Rows.size(), 2u);
    EXPECT_EQ(r.Melody->Melody.Rows[1].Note, 5);
    EXPECT_FALSE(r.Melody->Notes.isEmpty());
}

TEST(MessageRenderers, IncompleteShowsWhatHasCome)
{
    TStoredMessage m = stored(TPayloadKind::pkPicture, {}, "");
    m.Status = TStoredStatus::ssIncomplete;
    m.Parts = 3;
    m.PartsPresent = 2;
    TRenderedMessage r = RenderMessage(m);
    EXPECT_EQ(r.Progress, "2 of 3 parts");
    EXPECT_EQ(r.Title, "Picture message");
    EXPECT_TRUE(r.Problem.isEmpty());

    m = stored(TPayloadKind::pkText, {}, "The first part of a long");
    m.Status = TStoredStatus::ssIncomplete;
    m.Parts = 2;
    m.PartsPresent = 1;
    r = RenderMessage(m);
    EXPECT_EQ(r.Progress, "1 of 2 parts");
    EXPECT_EQ(r.Text, "The first part of a long");
}

// Damaged payloads say what could not be shown and keep what could; nothing crashes.
TEST(MessageRenderers, DamagedPayloadsAreReportedNotFatal)
{
    TSMOperatorLogo logo;
    drawPixels(logo, 72, 14, {{1, 1}});
    const std::string logoData = logo.GetData();
    const struct {
        TPayloadKind kind;
        std::string payload;
    } cases[] = {
        {TPayloadKind::pkRingtone, std::string("\x02\x4A", 2)},
        {TPayloadKind::pkRingtone, ""},
        {TPayloadKind::pkPicture, "\x30\x02\xFF\xFF"},
        {TPayloadKind::pkOperatorLogo, logoData.substr(0, 9)},
        {TPayloadKind::pkVCard, "not a card"},
        {TPayloadKind::pkVCalendar, std::string(3, '\0')},
    };
    for (const auto &c : cases) {
        const TRenderedMessage r = RenderMessage(stored(c.kind, c.payload));
        EXPECT_FALSE(r.Problem.isEmpty() && r.Pictures.empty() && !r.Melody && r.Text.isEmpty())
            << static_cast<int>(c.kind) << " showed nothing and said nothing";
        EXPECT_FALSE(r.Title.isEmpty());
    }
    // An element announcing more octets than follow voids the whole chain, the picture before it
    // too: the text is shown, and why nothing else is.
    const std::string cut("\x0B\x02\x00\x01\x12\x09\x00", 7);
    for (const std::string &payload : {std::string("\x11\xFF\x00", 3), cut}) {
        const TRenderedMessage ems = RenderMessage(stored(TPayloadKind::pkEMS, payload, "x"));
        EXPECT_EQ(ems.Text, "x");
        EXPECT_EQ(ems.Title, "EMS message");
        EXPECT_TRUE(ems.Pictures.empty());
        EXPECT_EQ(ems.Problem, "The EMS elements run past their end");
    }
}

TEST(MessageRenderers, OtherDataShowsPortAndOctets)
{
    const TRenderedMessage r =
        RenderMessage(stored(TPayloadKind::pkData, std::string("\x01\xAB", 2), "", 1234));
    EXPECT_EQ(r.Title, "Data for port 1234");
    EXPECT_EQ(r.Text, "2 octets: 01 AB");
    const TRenderedMessage longer = RenderMessage(stored(TPayloadKind::pkData, std::string(40, 'A')));
    EXPECT_EQ(longer.Title, "Data");
    EXPECT_TRUE(longer.Text.endsWith(" ...")) << longer.Text.toStdString();
}

TEST(MessageRenderers, SummaryAndOctetText)
{
    EXPECT_EQ(MessageSummary(TPayloadKind::pkText, "first\nsecond"), "first");
    EXPECT_EQ(MessageSummary(TPayloadKind::pkPicture, ""), "Picture message");
    EXPECT_EQ(MessageSummary(TPayloadKind::pkPicture, "Hi"), "Picture message: Hi");
    EXPECT_EQ(TextFromOctets("J\xC3\xBCrgen"), QString::fromUtf8("Jürgen"));
    EXPECT_EQ(TextFromOctets("J\xFCrgen"), QString::fromUtf8("Jürgen"));
}

} // namespace
