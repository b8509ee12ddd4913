// The message store on each back end: what comes in is kept whole (every kind, any script),
// segments join their payload (also across a reopen and days later), repeats add nothing, sent
// messages follow their segments and status reports, and lists page and filter.
#include "storerig.h"

#include "connect/connection.h"
#include "gsm/smscontext.h"
#include "gsm/tpdufields.h"
#include "xsms/protocolstack.h"

#include <QImage>

#include <filesystem>
#include <fstream>
#include <functional>

namespace kestrel::storetest {
namespace {

class TNoSCA : public ISMSContext {
public:
    bool SCAInPDU() const override { return false; }
    std::string SCA() const override { return {}; }
};

std::string codes(std::initializer_list<int> c)
{
    std::string s;
    for (int v : c)
        s += static_cast<char>(v);
    return s;
}

QImage checker(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x + y) % 2 ? 0xFFFFFF : 0);
    return image;
}

TMessageContent content(TMessageKind kind, const QString &text = {})
{
    TMessageContent c;
    c.Kind = kind;
    c.Text = text;
    c.Picture = checker(72, 28);
    c.Width = kind == TMessageKind::mkEMSPictureSmall ? 16 : 72;
    c.Height = kind == TMessageKind::mkPicture ? 28 : kind == TMessageKind::mkEMSPictureSmall ? 16 : 14;
    c.Operator = 26201;
    c.vCardName = "Novak";
    c.vCardPhone = "+420602123456";
    c.Melody.Name = "Tune";
    c.Melody.Rows = {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 5, 3, 1, 10, 0, 7}};
    return c;
}

std::string fox(int n)
{
    std::string s;
    for (int i = 0; static_cast<int>(s.size()) < n; ++i)
        s += "The quick brown fox jumps over the lazy dog " + std::to_string(i) + ". ";
    return s.substr(0, static_cast<size_t>(n));
}

struct KindRow {
    const char *name;
    std::function<std::vector<TArrival>()> make;
    TPayloadKind kind;
    std::string text; // exact; a leading '~' means "contains"
    int parts;
    int port;
};

TEST_P(StoreTest, ReceivedMessagesAreKeptWholeWithKindAndText)
{
    const std::string from = "+491701234567";
    // 66 characters fill the first segment but one unit: the emoji's surrogate pair is split.
    const QString longUCS2 = QString(66, QChar(0x042F)) + QString::fromUtf8("😀 end ") + QString(70, 'z');
    const KindRow rows[] = {
        {"7-bit Greek capitals, extension table",
         [&] {
             std::vector<TArrival> v;
             v.push_back(Deliver(
                 from, 0x00, codes({0x10, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x20, 0x1B,
                                    0x28, 0x1B, 0x65, 0x1B, 0x29, 0x20, 0x00, 0x01, 0x1B, 0x3C, 0x1B, 0x2F}),
                 At()));
             return v;
         },
         TPayloadKind::pkText, "ΔΦΓΛΩΠΨΣΘΞ {€} @£[\\", 1, -1},
        {"UCS2 with emoji",
         [&] { return Received(content(TMessageKind::mkUCS2Text, "Привет 👋 世界 ✓"), from, At()); },
         TPayloadKind::pkText, "Привет 👋 世界 ✓", 1, -1},
        {"UCS2 concatenated, emoji on the segment boundary",
         [&] { return Received(content(TMessageKind::mkUCS2Text, longUCS2), from, At()); },
         TPayloadKind::pkText, longUCS2.toStdString(), 3, -1},
        {"7-bit concatenated text",
         [&] {
             return Received(content(TMessageKind::mkText, QString::fromStdString(fox(400))), from, At());
         },
         TPayloadKind::pkText, fox(400), 3, -1},
        // TS 23.038 4: 8-bit user data is data, not text, whole or concatenated; the SMS log
        // prints no text for it either.
        {"8-bit data",
         [&] {
             std::vector<TArrival> v;
             v.push_back(Deliver(from, 0x04, "caf\xE9 \x80", At()));
             return v;
         },
         TPayloadKind::pkData, "", 1, -1},
        {"8-bit data concatenated",
         [&] {
             std::vector<TArrival> v;
             v.push_back(Deliver(from, 0xF4,
                                 std::string("\x05\x00\x03\x2A\x02\x01"
                                             "caf\xE9",
                                             10),
                                 At(), true));
             v.push_back(Deliver(from, 0xF4,
                                 std::string("\x05\x00\x03\x2A\x02\x02"
                                             "\x00\x80",
                                             8),
                                 At(), true));
             return v;
         },
         TPayloadKind::pkData, "", 2, -1},
        {"picture message with its text",
         [&] { return Received(content(TMessageKind::mkPicture, "Hi there"), from, At()); },
         TPayloadKind::pkPicture, "Hi there", 3, 5514},
        {"operator logo", [&] { return Received(content(TMessageKind::mkOperatorLogo), from, At()); },
         TPayloadKind::pkOperatorLogo, "", 2, 5506},
        {"CLI icon", [&] { return Received(content(TMessageKind::mkCLIIcon), from, At()); },
         TPayloadKind::pkCLIIcon, "", 2, 5507},
        {"ringing tone", [&] { return Received(content(TMessageKind::mkRingingTone), from, At()); },
         TPayloadKind::pkRingtone, "Tune", 1, 5505},
        {"vCard over a text header", [&] { return Received(content(TMessageKind::mkvCard), from, At()); },
         TPayloadKind::pkVCard, "~N:Novak", 1, 226},
        {"EMS picture with text",
         [&] { return Received(content(TMessageKind::mkEMSPictureSmall, "Look at this"), from, At()); },
         TPayloadKind::pkEMS, "Look at this", 1, -1},
        {"EMS melody", [&] { return Received(content(TMessageKind::mkEMSMelody, "Listen"), from, At()); },
         TPayloadKind::pkEMS, "Listen", 1, -1},
    };
    for (const KindRow &row : rows) {
        SCOPED_TRACE(row.name);
        location = NewStoreLocation(GetParam());
        auto store = Open();
        std::vector<TArrival> arrivals = row.make();
        ASSERT_EQ(static_cast<int>(arrivals.size()), row.parts);
        // Segments arrive last first: each but the last leaves the message incomplete.
        TRecordResult r;
        int64_t id = 0;
        for (size_t i = arrivals.size(); i-- > 0;) {
            r = store->RecordReceived(arrivals[i].Raw, false, arrivals[i].SMS.get(), At(0.01), 3);
            EXPECT_FALSE(r.Duplicate);
            EXPECT_EQ(r.Complete, i == 0);
            EXPECT_TRUE(id == 0 || r.MessageId == id);
            id = r.MessageId;
        }
        const auto list = store->List({});
        ASSERT_EQ(list.size(), 1u);
        const TStoredMessage &m = list[0];
        EXPECT_EQ(m.Id, id);
        EXPECT_FALSE(m.Outgoing);
        EXPECT_EQ(m.Peer, from);
        EXPECT_EQ(m.Kind, row.kind) << PayloadKindName(m.Kind);
        if (row.text.starts_with('~')) {
            EXPECT_NE(m.Text.find(row.text.substr(1)), std::string::npos) << m.Text;
        } else {
            EXPECT_EQ(m.Text, row.text);
        }
        EXPECT_EQ(m.Parts, row.parts);
        EXPECT_EQ(m.PartsPresent, row.parts);
        EXPECT_EQ(m.Status, TStoredStatus::ssReceived);
        EXPECT_FALSE(m.Read);
        EXPECT_EQ(m.DestPort, row.port);
        EXPECT_DOUBLE_EQ(m.Time, At(0.01));
        EXPECT_EQ(m.Payload.empty(), row.kind == TPayloadKind::pkText && row.text.empty());
        const auto whole = store->Message(id);
        ASSERT_TRUE(whole);
        ASSERT_EQ(static_cast<int>(whole->Segments.size()), row.parts);
        for (int i = 0; i < row.parts; ++i) {
            EXPECT_EQ(whole->Segments[static_cast<size_t>(i)].Sequence, row.parts > 1 ? i + 1 : 1);
            EXPECT_EQ(whole->Segments[static_cast<size_t>(i)].PDU, arrivals[static_cast<size_t>(i)].Raw);
            EXPECT_EQ(whole->Segments[static_cast<size_t>(i)].StorageIndex, 3);
        }
        EXPECT_TRUE(store->IncompleteSegments(At(-10)).empty());
    }
}

TEST_P(StoreTest, RepeatedSegmentsAddNothing)
{
    auto store = Open();
    const auto single = Deliver("+491701234567", 0, TextToGSM("once"), At());
    const auto first = store->RecordReceived(single.Raw, false, single.SMS.get(), At(), 1);
    const auto again = store->RecordReceived(single.Raw, false, single.SMS.get(), At(0.1), 2);
    EXPECT_FALSE(first.Duplicate);
    EXPECT_TRUE(again.Duplicate);
    EXPECT_TRUE(again.Complete);
    EXPECT_EQ(again.MessageId, first.MessageId);

    const auto parts =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+491709999999", At());
    ASSERT_EQ(parts.size(), 2u);
    const auto p1 = store->RecordReceived(parts[0].Raw, false, parts[0].SMS.get(), At(), -1);
    const auto p1again = store->RecordReceived(parts[0].Raw, false, parts[0].SMS.get(), At(), -1);
    // The service centre sends the segment once more, with a new time stamp: the same segment.
    const auto retry = Delivered(
        *[&] {
            TSMSSubmit s;
            auto *d = dynamic_cast<TSMSDeliver *>(parts[0].SMS.get());
            s.DCS = d->DCS;
            s.UserData = d->UserData;
            s.SetFirstOctetBit(6, true);
            return std::make_unique<TSMSSubmit>(s);
        }(),
        "+491709999999", At(0.001));
    ASSERT_NE(retry.Raw, parts[0].Raw);
    const auto p1retry = store->RecordReceived(retry.Raw, false, retry.SMS.get(), At(0.001), -1);
    for (const auto &r : {p1again, p1retry}) {
        EXPECT_TRUE(r.Duplicate);
        EXPECT_FALSE(r.Complete);
        EXPECT_EQ(r.MessageId, p1.MessageId);
    }
    const auto p2 = store->RecordReceived(parts[1].Raw, false, parts[1].SMS.get(), At(0.002), -1);
    EXPECT_TRUE(p2.Complete);
    EXPECT_EQ(p2.MessageId, p1.MessageId);
    const auto list = store->List({});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].Text, fox(300));
    EXPECT_EQ(store->Message(p1.MessageId)->Segments.size(), 2u);
}

TEST_P(StoreTest, ReusedReferenceWithOtherContentStartsANewPayload)
{
    auto store = Open();
    const auto a =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+491701", At(), 9);
    const auto b =
        Received(content(TMessageKind::mkText, QString::fromStdString("X" + fox(299))), "+491701", At(), 9);
    const auto ra = store->RecordReceived(a[0].Raw, false, a[0].SMS.get(), At(), -1);
    const auto rb = store->RecordReceived(b[0].Raw, false, b[0].SMS.get(), At(0.01), -1);
    EXPECT_FALSE(rb.Duplicate);
    EXPECT_NE(ra.MessageId, rb.MessageId);
    // The same reference from another sender is another payload as well.
    const auto c =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+491702", At(), 9);
    const auto rc = store->RecordReceived(c[1].Raw, false, c[1].SMS.get(), At(0.02), -1);
    EXPECT_NE(rc.MessageId, ra.MessageId);
    const auto rb2 = store->RecordReceived(b[1].Raw, false, b[1].SMS.get(), At(0.03), -1);
    EXPECT_EQ(rb2.MessageId, rb.MessageId);
    EXPECT_TRUE(rb2.Complete);
    EXPECT_EQ(store->Message(rb.MessageId)->Text, "X" + fox(299));
    EXPECT_EQ(store->Message(ra.MessageId)->Status, TStoredStatus::ssIncomplete);
}

TEST_P(StoreTest, IncompletePayloadSurvivesAReopenAndJoinsDaysLater)
{
    const auto parts = Received(content(TMessageKind::mkText, QString::fromStdString(fox(450))),
                                "+441234567890", At(), 0xBD);
    ASSERT_EQ(parts.size(), 3u);
    int64_t id = 0;
    {
        auto store = Open();
        id = store->RecordReceived(parts[0].Raw, false, parts[0].SMS.get(), At(), 1).MessageId;
        store->RecordReceived(parts[2].Raw, false, parts[2].SMS.get(), At(0.001), 2);
        const auto m = store->Message(id);
        EXPECT_EQ(m->Status, TStoredStatus::ssIncomplete);
        EXPECT_EQ(m->PartsPresent, 2);
        EXPECT_EQ(m->Parts, 3);
        // What came so far can be read and found.
        EXPECT_EQ(m->Text, fox(450).substr(0, 153) + fox(450).substr(306));
    }
    auto store = Open();
    const auto segments = store->IncompleteSegments(At(-1));
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_TRUE(store->IncompleteSegments(At(0.5)).empty()); // first segment older than that
    // They fill a reassembly stack as they came.
    TSMSProtocolStack stack;
    TSMSProtocol *p = nullptr;
    for (const auto &s : segments) {
        EXPECT_FALSE(s.TextMode);
        auto sms = CreateSMSFromPDU(nullptr, s.PDU, true);
        ASSERT_TRUE(stack.AddSegment(sms.get(), p));
    }
    EXPECT_EQ(p->ReceivedCount(), 2);
    EXPECT_EQ(p->SegmentCount(), 3);

    // Two and a half days later (within the three days) the middle part still joins.
    const auto r = store->RecordReceived(parts[1].Raw, false, parts[1].SMS.get(), At(2.5), 5);
    EXPECT_EQ(r.MessageId, id);
    EXPECT_TRUE(r.Complete);
    const auto m = store->Message(id);
    EXPECT_EQ(m->Status, TStoredStatus::ssReceived);
    EXPECT_EQ(m->Text, fox(450));
    EXPECT_EQ(m->PartsPresent, 3);
    EXPECT_TRUE(store->IncompleteSegments(At(-1)).empty());
}

TEST_P(StoreTest, SegmentAfterTheLateJoinLimitStartsAnotherMessage)
{
    TStoreSettings settings;
    settings.LateJoinDays = 1;
    auto store = Open(settings);
    const auto parts =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+4930123", At());
    const auto first = store->RecordReceived(parts[0].Raw, false, parts[0].SMS.get(), At(), -1);
    const auto late = store->RecordReceived(parts[1].Raw, false, parts[1].SMS.get(), At(1.5), -1);
    EXPECT_NE(late.MessageId, first.MessageId);
    EXPECT_FALSE(late.Complete);
    const auto list = store->List({});
    ASSERT_EQ(list.size(), 2u);
    for (const auto &m : list)
        EXPECT_EQ(m.Status, TStoredStatus::ssIncomplete);
}

TEST_P(StoreTest, OutgoingMessageFollowsItsSegments)
{
    auto store = Open();
    TMessageComposer composer;
    TMessageContent c =
        content(TMessageKind::mkUCS2Text, QString::fromUtf8("Γειά σου 🌍 ") + QString(80, 'x'));
    const auto submits = composer.Compose("+4915112345678", c);
    ASSERT_EQ(submits.size(), 2u);
    TOutgoing out;
    out.Peer = "+4915112345678";
    out.Text = c.Text.toStdString();
    out.Modem = "M20";
    for (const auto &s : submits)
        out.Segments.push_back(s.get());
    const int64_t id = store->RecordOutgoing(out, At());
    auto m = store->Message(id);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->Outgoing);
    EXPECT_TRUE(m->Read);
    EXPECT_EQ(m->Status, TStoredStatus::ssPending);
    EXPECT_EQ(m->Text, out.Text);
    EXPECT_EQ(m->Modem, "M20");
    ASSERT_EQ(m->Segments.size(), 2u);
    EXPECT_EQ(m->Segments[0].PDU, submits[0]->GetPDU());
    EXPECT_EQ(m->Segments[0].MR, -1);

    store->SegmentSent(id, 1, 17, At(0.001));
    EXPECT_EQ(store->Message(id)->Status, TStoredStatus::ssPending);
    store->SegmentSent(id, 2, 18, At(0.002));
    m = store->Message(id);
    EXPECT_EQ(m->Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Segments[0].MR, 17);
    EXPECT_EQ(m->Segments[1].MR, 18);
    EXPECT_EQ(m->Segments[1].Status, TStoredStatus::ssSent);
    EXPECT_DOUBLE_EQ(m->Segments[1].Time, At(0.002));

    // No such segment (a message deleted while it was sent): nothing recorded, no failure.
    EXPECT_FALSE(store->SegmentSent(id, 3, 19, At()));
    EXPECT_FALSE(store->SegmentSent(id + 1000, 1, 19, At()));

    TOutgoing second = out;
    second.Queued = true;
    const int64_t queued = store->RecordOutgoing(second, At(0.01));
    EXPECT_EQ(store->Message(queued)->Status, TStoredStatus::ssQueued);
    store->SegmentSent(queued, 1, 20, At(0.02));
    store->MessageFailed(queued, "+CMS ERROR: 38");
    m = store->Message(queued);
    EXPECT_EQ(m->Status, TStoredStatus::ssFailed);
    EXPECT_EQ(m->Error, "+CMS ERROR: 38");
    EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Segments[1].Status, TStoredStatus::ssFailed);
    EXPECT_THROW(store->MessageFailed(id + 1000, "x"), EStoreError);
}

// Sends a message of Parts segments to Peer at Time with the given references; returns its id.
int64_t sent(TMessageStore &store, const std::string &peer, std::vector<int> mrs, TDateTime time,
             const std::string &modem = {})
{
    std::vector<std::unique_ptr<TSMSSubmit>> submits;
    TOutgoing out;
    out.Peer = peer;
    out.Modem = modem;
    out.Text = "report please";
    for (size_t i = 0; i < mrs.size(); ++i) {
        submits.push_back(std::make_unique<TSMSSubmit>());
        submits.back()->DA = peer;
        submits.back()->SetFirstOctetBit(5, true);
        out.Segments.push_back(submits.back().get());
    }
    const int64_t id = store.RecordOutgoing(out, time);
    for (size_t i = 0; i < mrs.size(); ++i)
        store.SegmentSent(id, static_cast<int>(i + 1), mrs[i], time);
    return id;
}

TEST_P(StoreTest, StatusReportsSettleTheDeliveryStatus)
{
    const struct {
        const char *name;
        std::vector<int> statuses; // TP-ST of the reports, one per segment in order
        TStoredStatus expected;
    } rows[] = {
        {"completed", {0x00}, TStoredStatus::ssDelivered},
        {"forwarded, unconfirmed", {0x01}, TStoredStatus::ssDelivered},
        {"last of the completed range", {0x1F}, TStoredStatus::ssDelivered},
        {"still trying", {0x20}, TStoredStatus::ssSent},
        {"still trying, last of its range", {0x3F}, TStoredStatus::ssSent},
        {"permanent error", {0x41}, TStoredStatus::ssFailed},
        {"temporary error, no more tries", {0x60}, TStoredStatus::ssFailed},
        {"two segments delivered", {0x00, 0x00}, TStoredStatus::ssDelivered},
        {"one of two delivered", {0x00}, TStoredStatus::ssSent},
        {"one of two failed", {0x00, 0x45}, TStoredStatus::ssFailed},
        {"two, failure first, then delivered", {0x45, 0x00}, TStoredStatus::ssFailed},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        location = NewStoreLocation(GetParam());
        auto store = Open();
        const bool two = std::string(row.name).find("two") != std::string::npos;
        const int64_t id =
            sent(*store, "+4917012345", two ? std::vector<int>{40, 41} : std::vector<int>{40}, At());
        for (size_t i = 0; i < row.statuses.size(); ++i) {
            const auto report = Report("+4917012345", 40 + static_cast<int>(i), row.statuses[i], At(0.01));
            const auto r = store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.01), 4);
            EXPECT_EQ(r.MessageId, id);
            EXPECT_FALSE(r.Duplicate);
        }
        const auto m = store->Message(id);
        EXPECT_EQ(m->Status, row.expected) << StoredStatusName(m->Status);
        EXPECT_EQ(m->Segments[0].ReportStatus, row.statuses[0]);
        // A report never makes a message of its own.
        EXPECT_EQ(store->List({}).size(), 1u);
    }
}

TEST_P(StoreTest, StatusReportMatchesTheNewestOpenSegmentOfThatRecipient)
{
    auto store = Open();
    const int64_t old = sent(*store, "+4917012345", {40}, At(-8)); // beyond the seven days
    const int64_t older = sent(*store, "+4917012345", {40}, At(-2));
    const int64_t newer = sent(*store, "+4917012345", {40}, At(-1));
    const int64_t other = sent(*store, "+4917099999", {40}, At(-0.5));
    // The network writes the recipient without "+", in the international form: the same number.
    auto report = Report("004917012345", 40, 0, At());
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(), -1).MessageId, newer);
    EXPECT_EQ(store->Message(newer)->Status, TStoredStatus::ssDelivered);
    // The same report again is a repeat, not a report on the older message.
    const auto repeat = store->RecordReceived(report.Raw, false, report.SMS.get(), At(), -1);
    EXPECT_TRUE(repeat.Duplicate);
    EXPECT_EQ(store->Message(older)->Status, TStoredStatus::ssSent);
    report = Report("+4917012345", 40, 0x00, At(0.001));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.001), -1).MessageId, older);
    // Nothing younger than seven days is left open: the report matches nothing, and is kept.
    report = Report("+4917012345", 40, 0x00, At(0.002));
    const auto unmatched = store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.002), -1);
    EXPECT_EQ(unmatched.MessageId, 0);
    EXPECT_FALSE(unmatched.Duplicate);
    EXPECT_EQ(store->Message(old)->Status, TStoredStatus::ssSent);
    EXPECT_EQ(store->Message(other)->Status, TStoredStatus::ssSent);
    // Another reference matches nothing either.
    report = Report("+4917099999", 41, 0x00, At(0.003));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.003), -1).MessageId, 0);

    // "Still trying" leaves the segment open for the final report.
    const int64_t trying = sent(*store, "+4917055555", {7}, At());
    report = Report("+4917055555", 7, 0x21, At(0.01));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.01), -1).MessageId, trying);
    report = Report("+4917055555", 7, 0x00, At(0.02));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.02), -1).MessageId, trying);
    EXPECT_EQ(store->Message(trying)->Status, TStoredStatus::ssDelivered);
}

// Each modem numbers its own sends: a report marks what the modem that received it sent (or what
// names no modem), never the same reference to the same recipient sent through another modem.
TEST_P(StoreTest, StatusReportMatchesOnlyWhatItsModemSent)
{
    const double minute = 1.0 / (24 * 60);
    auto store = Open();
    const int64_t viaA = sent(*store, "+4917012345", {40}, At(-0.02), "sim-a");
    const int64_t viaB = sent(*store, "+4917012345", {40}, At(-0.01), "sim-b");
    auto report = Report("+4917012345", 40, 0x00, At());
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(), -1, "sim-a").MessageId, viaA);
    EXPECT_EQ(store->Message(viaA)->Status, TStoredStatus::ssDelivered);
    EXPECT_EQ(store->Message(viaB)->Status, TStoredStatus::ssSent);
    report = Report("+4917012345", 40, 0x41, At(0.001));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.001), -1, "sim-c").MessageId, 0)
        << "sim-c sent nothing";
    // A message that names no modem takes the report of any: sim-c's, which waited for a send.
    const int64_t unnamed = sent(*store, "+4917012345", {40}, At(0.002));
    EXPECT_EQ(store->Message(unnamed)->Status, TStoredStatus::ssFailed);
    // A report that names no modem matches whichever sent it.
    report = Report("+4917012345", 40, 0x00, At(0.004));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.004), -1).MessageId, viaB);

    // Early reports too: one that came through sim-b waits for sim-b's send, not sim-a's.
    report = Report("+4917055555", 41, 0x00, At(0.01));
    EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.01), -1, "sim-b").MessageId, 0);
    const int64_t early = sent(*store, "+4917055555", {41}, At(0.01) + minute / 10, "sim-a");
    EXPECT_EQ(store->Message(early)->Status, TStoredStatus::ssSent);
    const int64_t own = sent(*store, "+4917055555", {41}, At(0.01) + minute / 5, "sim-b");
    EXPECT_EQ(store->Message(own)->Status, TStoredStatus::ssDelivered);
}

// The network can deliver a report during the pause after the send, before the segment's
// reference is recorded: the report waits and is applied when the reference comes.
TEST_P(StoreTest, ReportBeforeTheSentSegmentIsAppliedWhenItsReferenceComes)
{
    const double minute = 1.0 / (24 * 60);
    const struct {
        const char *name;
        const char *recipient; // of the report; the message goes to +4917012345
        int mr;
        std::vector<int> statuses; // reports in arrival order
        double arrived;            // minutes before the send is recorded
        TStoredStatus expected;
        int reportStatus;
    } rows[] = {
        {"delivered", "+4917012345", 40, {0x00}, 0.1, TStoredStatus::ssDelivered, 0x00},
        {"national form of the same number", "004917012345", 40, {0x00}, 1, TStoredStatus::ssDelivered, 0x00},
        {"failed", "+4917012345", 40, {0x41}, 1, TStoredStatus::ssFailed, 0x41},
        {"still trying, then delivered",
         "+4917012345",
         40,
         {0x21, 0x00},
         1,
         TStoredStatus::ssDelivered,
         0x00},
        {"still trying only", "+4917012345", 40, {0x21}, 1, TStoredStatus::ssSent, 0x21},
        {"another recipient", "+4917099999", 40, {0x00}, 1, TStoredStatus::ssSent, -1},
        {"another reference", "+4917012345", 41, {0x00}, 1, TStoredStatus::ssSent, -1},
        {"too old", "+4917012345", 40, {0x00}, 30, TStoredStatus::ssSent, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        location = NewStoreLocation(GetParam());
        auto store = Open();
        const TDateTime send = At();
        for (size_t i = 0; i < row.statuses.size(); ++i) {
            const TDateTime when = send - row.arrived * minute + static_cast<double>(i) * 0.01 * minute;
            const auto report = Report(row.recipient, row.mr, row.statuses[i], when);
            EXPECT_EQ(store->RecordReceived(report.Raw, false, report.SMS.get(), when, -1).MessageId, 0);
        }
        const int64_t id = sent(*store, "+4917012345", {40}, send);
        const auto m = store->Message(id);
        EXPECT_EQ(m->Status, row.expected) << StoredStatusName(m->Status);
        EXPECT_EQ(m->Segments[0].ReportStatus, row.reportStatus);
        // An applied report is not applied again to a later send with the same reference.
        const int64_t again = sent(*store, "+4917012345", {40}, send + 0.1 * minute);
        EXPECT_EQ(store->Message(again)->Status,
                  row.reportStatus == -1 ? row.expected : TStoredStatus::ssSent);
    }
    // Of a message in two segments, each report finds its own segment.
    location = NewStoreLocation(GetParam());
    auto store = Open();
    for (int mr : {50, 51}) {
        const auto report = Report("+4917012345", mr, 0x00, At(-minute));
        store->RecordReceived(report.Raw, false, report.SMS.get(), At(-minute), -1);
    }
    const int64_t id = sent(*store, "+4917012345", {50, 51}, At());
    EXPECT_EQ(store->Message(id)->Status, TStoredStatus::ssDelivered);
}

TEST_P(StoreTest, ListsFilterAndPage)
{
    auto store = Open();
    std::vector<int64_t> ids;
    for (int i = 0; i < 10; ++i) {
        const std::string peer = i % 2 ? "+4917011111" : "+4917022222";
        const auto a = Deliver(peer, 0, TextToGSM("message " + std::to_string(i)), At(i * 0.001));
        ids.push_back(store->RecordReceived(a.Raw, false, a.SMS.get(), At(i * 0.001), -1).MessageId);
    }
    const int64_t out = sent(*store, "+4917011111", {1}, At(0.02));

    TMessageFilter f;
    f.Peer = "004917011111"; // the same number in the other international form
    auto list = store->List(f);
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list.front().Id, ids[1]);
    EXPECT_EQ(list.back().Id, out);
    f.Limit = 2;
    list = store->List(f);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Id, ids[9]); // the latest two, oldest first
    EXPECT_EQ(list[1].Id, out);
    f.BeforeId = list[0].Id;
    list = store->List(f);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Id, ids[5]);
    EXPECT_EQ(list[1].Id, ids[7]);
    f = {};
    f.Status = TStoredStatus::ssSent;
    list = store->List(f);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Id, out);
    EXPECT_EQ(store->List({}).size(), 11u);
}

// Listing without a limit goes through the table a page at a time: across the pages, every
// message that matches once, oldest first.
TEST_P(StoreTest, ForEachReadsEveryMatchOnceAcrossPages)
{
    TStoreSettings fast;
    fast.Synchronous = false;
    auto store = Open(fast);
    std::vector<int64_t> toFirst;
    for (int i = 0; i < 1203; ++i) {
        const int64_t id = sent(*store, i % 2 ? "+4917011111" : "+4917022222", {i % 256}, At(i * 0.0001));
        if (i % 2)
            toFirst.push_back(id);
    }
    TMessageFilter filter;
    filter.Peer = "+4917011111";
    std::vector<int64_t> seen;
    store->ForEach(filter, [&](const TStoredMessage &m) { seen.push_back(m.Id); });
    EXPECT_EQ(seen, toFirst);
    size_t all = 0;
    store->ForEach({}, [&](const TStoredMessage &) { ++all; });
    EXPECT_EQ(all, 1203u);
}

TEST_P(StoreTest, ConversationsCountUnreadUntilMarkedRead)
{
    auto store = Open();
    for (int i = 0; i < 3; ++i) {
        const auto a = Deliver("+4917011111", 0, TextToGSM("hi " + std::to_string(i)), At(i * 0.001));
        store->RecordReceived(a.Raw, false, a.SMS.get(), At(i * 0.001), -1);
    }
    const auto b = Deliver("Bank", 0, TextToGSM("code 1234"), At(0.01));
    store->RecordReceived(b.Raw, false, b.SMS.get(), At(0.01), -1);
    sent(*store, "004917011111", {1}, At(0.02));

    auto conversations = store->Conversations();
    ASSERT_EQ(conversations.size(), 2u);
    EXPECT_EQ(conversations[0].Peer, "004917011111"); // newest first, under its latest form
    EXPECT_EQ(conversations[0].Count, 4);
    EXPECT_EQ(conversations[0].Unread, 3);
    EXPECT_EQ(conversations[0].LastText, "report please");
    EXPECT_EQ(conversations[1].Peer, "Bank");
    EXPECT_EQ(conversations[1].Unread, 1);
    EXPECT_EQ(conversations[1].LastText, "code 1234");

    store->MarkRead("+4917011111");
    conversations = store->Conversations();
    EXPECT_EQ(conversations[0].Unread, 0);
    EXPECT_EQ(conversations[1].Unread, 1);
    store->MarkRead("bank");
    EXPECT_EQ(store->Conversations()[1].Unread, 0);
}

TEST_P(StoreTest, DeleteRemovesTheMessageWithItsSegments)
{
    auto store = Open();
    const auto parts =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+4930", At());
    const auto r = RecordAll(*store, parts, At());
    EXPECT_TRUE(r.Complete);
    const int64_t out = sent(*store, "+4930", {5}, At());
    auto report = Report("+4930", 5, 0, At(0.01));
    store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.01), -1);
    EXPECT_FALSE(store->Delete(r.MessageId + out + 100));
    EXPECT_TRUE(store->Delete(r.MessageId));
    EXPECT_TRUE(store->Delete(out)); // its report stays, matched to nothing
    EXPECT_FALSE(store->Delete(r.MessageId));
    EXPECT_FALSE(store->Message(r.MessageId));
    EXPECT_TRUE(store->List({}).empty());
    // The segments went with it: the same payload again is new, not a repeat.
    const auto again = RecordAll(*store, parts, At(0.1));
    EXPECT_FALSE(again.Duplicate);
    EXPECT_TRUE(again.Complete);
    EXPECT_GT(again.MessageId, r.MessageId);
}

TEST_P(StoreTest, UndecodableAndTextModeRecordsAreKeptAsTheyCame)
{
    auto store = Open();
    const std::string junk = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD0";
    const auto r = store->RecordReceived(junk, false, nullptr, At(), 7, "M20");
    EXPECT_TRUE(r.Complete);
    auto m = store->Message(r.MessageId);
    EXPECT_EQ(m->Kind, TPayloadKind::pkData);
    EXPECT_EQ(m->Payload, junk);
    EXPECT_EQ(m->Modem, "M20");
    ASSERT_EQ(m->Segments.size(), 1u);
    EXPECT_EQ(m->Segments[0].PDU, junk);
    EXPECT_EQ(m->Segments[0].StorageIndex, 7);

    // A text-mode record: shown as it came; the reassembly gets it as a PDU.
    const auto parts =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300))), "+4940", At());
    const std::string record = "+CMGR: \"REC UNREAD\",\"+4940\",,\"24/05/01,12:00:00+00\"\r\n(segment 1)";
    const auto t = store->RecordReceived(record, true, parts[0].SMS.get(), At(), 2);
    m = store->Message(t.MessageId);
    ASSERT_EQ(m->Segments.size(), 1u);
    EXPECT_TRUE(m->Segments[0].TextMode);
    EXPECT_EQ(m->Segments[0].PDU, record);
    const auto segments = store->IncompleteSegments(At(-1));
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_FALSE(segments[0].TextMode);
    EXPECT_EQ(segments[0].PDU, parts[0].Raw);
    // The handset's PDUs without a service-centre field are kept with an empty one in front.
    TNoSCA noSCA;
    parts[1].SMS->GSM = &noSCA;
    const auto r2 = store->RecordReceived(parts[1].Raw.substr(2), false, parts[1].SMS.get(), At(), 3);
    EXPECT_TRUE(r2.Complete);
    EXPECT_EQ(store->Message(t.MessageId)->Text, fox(300));
}

TEST_P(StoreTest, SearchFindsWordsInAnyScript)
{
    auto store = Open();
    const char *texts[] = {
        "Meet me at the café tomorrow", "Привет, мир! Как дела?", "Δείπνο στις 8 ΣΗΜΕΡΑ",
        "party tonight 😀 bring snacks", "Your code is 4711",      "meet the \"team\" (lunch)"};
    std::vector<int64_t> ids;
    for (size_t i = 0; i < std::size(texts); ++i) {
        TMessageComposer composer;
        const auto a = Received(content(TMessageKind::mkUCS2Text, QString::fromUtf8(texts[i])),
                                i % 2 ? "+4917011111" : "+4917022222", At(i * 0.001));
        ids.push_back(RecordAll(*store, a, At(i * 0.001)).MessageId);
    }
    const struct {
        const char *search;
        std::vector<size_t> found; // indexes into texts
    } rows[] = {
        {"café", {0}},        {"CAFÉ", {0}},
        {"meet", {0, 5}},     {"meet tomorrow", {0}},
        {"meet nowhere", {}}, {"привет", {1}},
        {"ДЕЛА", {1}},        {"σημερα", {2}},
        {"4711", {4}},        {"snacks", {3}},
        {"\"team\"", {5}},    {"-", {}},
        {"AND OR NOT *", {}}, {"   ", {0, 1, 2, 3, 4, 5}}, // no words: no search
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.search);
        TMessageFilter f;
        f.Search = row.search;
        std::vector<int64_t> expected, got;
        for (size_t i : row.found)
            expected.push_back(ids[i]);
        for (const auto &m : store->List(f))
            got.push_back(m.Id);
        EXPECT_EQ(got, expected);
    }
    // Search within one conversation, the latest first page.
    TMessageFilter f;
    f.Search = "meet";
    f.Peer = "+4917011111";
    const auto list = store->List(f);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Id, ids[5]);
    // A deleted message is no longer found; a completed one is found by its whole text.
    store->Delete(ids[0]);
    f = {};
    f.Search = "café";
    EXPECT_TRUE(store->List(f).empty());
    const auto parts =
        Received(content(TMessageKind::mkText, QString::fromStdString(fox(300) + " zebra")), "+4930", At());
    store->RecordReceived(parts[0].Raw, false, parts[0].SMS.get(), At(), -1);
    f.Search = "zebra";
    EXPECT_TRUE(store->List(f).empty()); // not in the part that came
    store->RecordReceived(parts[1].Raw, false, parts[1].SMS.get(), At(), -1);
    EXPECT_EQ(store->List(f).size(), 1u);
}

TEST_P(StoreTest, AStoreOfAnOlderSchemaIsMigratedWhenOpened)
{
    TStoreSettings first;
    first.SchemaVersion = 1; // before the full-text index
    std::vector<int64_t> ids;
    {
        auto store = Open(first);
        for (const char *text : {"alpha beta", "gamma delta"}) {
            const auto a = Deliver("+4930", 0, TextToGSM(text), At());
            ids.push_back(store->RecordReceived(a.Raw, false, a.SMS.get(), At(), -1).MessageId);
        }
    }
    auto store = Open();
    TMessageFilter f;
    f.Search = "delta";
    const auto found = store->List(f);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Id, ids[1]);
    const auto a = Deliver("+4930", 0, TextToGSM("epsilon delta"), At(0.1));
    const auto r = store->RecordReceived(a.Raw, false, a.SMS.get(), At(0.1), -1);
    EXPECT_GT(r.MessageId, ids[1]);
    EXPECT_EQ(store->List(f).size(), 2u);
    // Opening it again changes nothing more.
    store.reset();
    EXPECT_EQ(Open()->List(f).size(), 2u);
}

TEST_P(StoreTest, HostileMessagesAreRecordedWithoutFailing)
{
    // Every hostile PDU of the decoders' corpus, as a handset could hand it over: decoded where
    // it decodes, else as it came. The server refuses text that is not UTF-8 or holds a NUL.
    auto store = Open();
    int recorded = 0;
    for (const char *target : {"pdu", "protocol_stack"}) {
        for (const auto &entry :
             std::filesystem::directory_iterator(std::filesystem::path(KESTREL_CORPUS_DIR) / target)) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().filename().string());
            const std::string hex = StrToHex(bytes);
            std::unique_ptr<TSMS2> sms;
            try {
                sms = CreateSMSFromPDU(nullptr, hex, true);
            } catch (const std::exception &) {
                // Not decodable: kept as it came.
            }
            EXPECT_NO_THROW(store->RecordReceived(hex, false, sms.get(), At(recorded * 0.001), -1));
            // The same octets as a segment's user data, with and without a header.
            for (bool udhi : {false, true}) {
                const auto a = Deliver("+4930" + std::to_string(recorded % 3), udhi ? 0xF5 : 0x08,
                                       bytes.substr(0, 140), At(recorded * 0.001), udhi);
                EXPECT_NO_THROW(store->RecordReceived(a.Raw, false, a.SMS.get(), At(recorded * 0.001), -1));
            }
            ++recorded;
        }
    }
    ASSERT_GT(recorded, 20);
    // What callers hand over is made fit for the database too.
    TOutgoing out;
    out.Peer = std::string("+49\0"
                           "30",
                           5);
    out.Text = "bad \xC3( utf-8";
    out.Modem = std::string("M\0"
                            "20",
                            4);
    EXPECT_NO_THROW(store->RecordOutgoing(out, At()));
    for (const auto &m : store->List({})) {
        const QByteArray text(m.Text.data(), static_cast<qsizetype>(m.Text.size()));
        EXPECT_EQ(QString::fromUtf8(text).toUtf8(), text);
        EXPECT_TRUE(store->Message(m.Id));
    }
    store->IncompleteSegments(At(-1));
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

} // namespace
} // namespace kestrel::storetest
