#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/userdataprotocols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

using namespace kestrel;

namespace {

// Octets from spaced hexadecimal ("06 05 04").
std::string bytes(std::string hex)
{
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return HexToStr(hex);
}

std::string repeat(size_t n, char first = 'a')
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>(first + i % 26);
    return s;
}

// Offers the segments of a sending object, in the given order, to a fresh receiving object.
template <class T>
std::unique_ptr<T> receive(const TSMSProtocol &sent, const std::vector<int> &order)
{
    auto received = std::make_unique<T>();
    for (int i : order)
        EXPECT_EQ(received->Decode(sent.GetSegment(i)), kDecodeAccepted) << "segment " << i;
    return received;
}

// Every way to do something that must be refused leaves the object as it was.
struct TSnapshot {
    uint8_t state;
    int count, received;
    uint32_t reference;
    explicit TSnapshot(const TSMSProtocol &p)
        : state(p.State()), count(p.SegmentCount()), received(p.ReceivedCount()), reference(p.Reference())
    {
    }
    bool operator==(const TSnapshot &) const = default;
};

// ---------------------------------------------------------------------------------------------

TEST(UnitFunctions, ByteOrder)
{
    EXPECT_EQ(WordToBytes(0x1581), bytes("15 81"));
    EXPECT_EQ(WordToBytes(0x00FF), bytes("00 FF"));
    EXPECT_EQ(IntToLE(250, 4), bytes("FA 00 00 00"));
    EXPECT_EQ(IntToLE(0x12345678, 4), bytes("78 56 34 12"));
    EXPECT_EQ(IntToLE(0x12345678, 2), bytes("78 56"));
    EXPECT_EQ(IntToLE(-1, 2), bytes("FF 00")); // the quotient rounds towards zero
    EXPECT_EQ(PascalString("abc"), bytes("03") + "abc");
    EXPECT_EQ(PascalString(""), bytes("00"));
    const std::string longName = repeat(300);
    EXPECT_EQ(PascalString(longName), bytes("FF") + longName.substr(0, 255));
}

TEST(TIE, DataKeepsAtMost255Octets)
{
    TIE ie(0x0A, repeat(300));
    EXPECT_EQ(ie.Data(), repeat(255));
}

// ---------------------------------------------------------------------------------------------
// TNBS

struct TNbsEncodeCase {
    const char *name;
    uint16_t dest, source;
    TSMSProtocolOptions options;
    uint32_t reference;
    std::string other;
    bool binary;
    size_t dataLength;
    std::vector<std::string> heads; // expected header of each segment
    size_t pieceSize;               // payload octets per full segment
};

TEST(TNBS, EncodeTable)
{
    const TSMSProtocolOptions both{poPortAddressing, poConcatenation};
    const std::vector<TNbsEncodeCase> cases = {
        {"one 8-bit port", 0xE2, 0xE2, {}, 0, "", false, 100, {"//SCKE2 "}, 152},
        {"empty payload", 0xE2, 0xE2, {}, 0, "", false, 0, {"//SCKE2"}, 0},
        {"source port differs", 0x10, 0x20, {}, 0, "", false, 10, {"//SCK1020 "}, 150},
        {"other header", 0xE2, 0xE2, {}, 0, "abc", false, 5, {"//SCKE2//abc "}, 147},
        {"16-bit ports, both options",
         0x1581,
         0x1581,
         both,
         1,
         "",
         false,
         300,
         {"//SCKL1581158101030"
          "1 ",
          "//SCKL15811581010302 ", "//SCKL15811581010303 "},
         139},
        {"concatenation added when too long",
         0x1581,
         0x1581,
         {},
         7,
         "",
         false,
         200,
         {"//SCKL15811581070201 ", "//SCKL15811581070202 "},
         139},
        {"binary budget", 0xE2, 0xE2, {}, 0, "", true, 140, {"//SCKE2E2000201 ", "//SCKE2E2000202 "}, 124},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TNBS nbs;
        nbs.SetBinary(c.binary);
        nbs.SetOtherHeader(c.other);
        nbs.SetOptions(c.options);
        nbs.SetDestPort(c.dest);
        nbs.SetSourcePort(c.source);
        nbs.SetReference(c.reference);
        const std::string data = repeat(c.dataLength);
        nbs.SetData(data);
        nbs.Encode(); // also for the empty payload, which SetData("") does not re-encode
        ASSERT_EQ(nbs.SegmentCount(), static_cast<int>(c.heads.size()));
        EXPECT_EQ(nbs.State(), kStateComplete);
        for (int i = 1; i <= nbs.SegmentCount(); ++i) {
            const std::string &head = c.heads[static_cast<size_t>(i - 1)];
            const std::string piece = data.substr(static_cast<size_t>(i - 1) * c.pieceSize, c.pieceSize);
            EXPECT_EQ(nbs.GetSegment(i), head + piece) << "segment " << i;
            EXPECT_EQ(nbs.SegmentHeaderLength(i), static_cast<int>(head.size()));
            EXPECT_LE(nbs.GetSegment(i).size(), c.binary ? 140u : 160u);
        }
    }
}

TEST(TNBS, HeaderLengthOfTheLargestHeader)
{
    TNBS nbs;
    nbs.SetDestPort(0x1581);
    nbs.SetSourcePort(0x1581);
    nbs.SetData("x");
    EXPECT_EQ(nbs.HeaderLength({poPortAddressing, poConcatenation}), 21);
    EXPECT_EQ(nbs.HeaderLength({poPortAddressing}), 11);
}

TEST(TNBS, EncodeRefusesWhatCannotBeNumbered)
{
    TNBS nbs;
    EXPECT_THROW(nbs.SetData(repeat(144 * 256)), EGSMError);
    TNBS crowded;
    crowded.SetOtherHeader(repeat(160));
    EXPECT_THROW(crowded.SetData("x"), EGSMError);
}

struct TNbsDecodeCase {
    const char *name;
    std::string text;
    uint8_t result;
    uint16_t dest = 0, source = 0;
    uint32_t reference = 0;
    int count = 0;
    uint8_t state = kStateEmpty;
    std::string data = "", other = "";
    int headerLength = 0;
};

TEST(TNBS, DecodeTable)
{
    const std::vector<TNbsDecodeCase> cases = {
        // Without L every port field has two digits.
        {"8-bit ports", "//SCK1581 abc", kDecodeAccepted, 0x15, 0x81, 0, 1, kStateComplete, "abc", "", 10},
        {"16-bit port", "//SCKL15811581 data", kDecodeAccepted, 0x1581, 0x1581, 0, 1, kStateComplete, "data",
         "", 15},
        {"lower-case digits", "//SCKe2 x", kDecodeAccepted, 0xE2, 0xE2, 0, 1, kStateComplete, "x", "", 8},
        {"no payload", "//SCKE2", kDecodeAccepted, 0xE2, 0xE2, 0, 1, kStateComplete, "", "", 7},
        {"first of two", "//SCKL158115810A0201 xyz", kDecodeAccepted, 0x1581, 0x1581, 10, 2, kStateIncomplete,
         "", "", 21},
        {"other header", "//SCKE2//foo bar", kDecodeAccepted, 0xE2, 0xE2, 0, 1, kStateComplete, "bar", "foo",
         13},
        {"other header after concatenation", "//SCK1020050101//ab c", kDecodeAccepted, 0x10, 0x20, 5, 1,
         kStateComplete, "c", "ab", 20},
        // Text in front of the marker is read as the start of the port field.
        {"text in front", "ab//SCK12 x", kDecodeAccepted, 0xAB, 0x12, 0, 1, kStateComplete, "x", "", 10},
        {"no marker", "hello world", kDecodeNotSegment},
        {"marker only", "//SCK", kDecodeNotSegment},
        {"not hexadecimal", "//SCKG1 x", kDecodeNotSegment},
        {"short 16-bit port", "//SCKL158 x", kDecodeNotSegment},
        {"cut 16-bit port", "//SCKL15", kDecodeNotSegment},
        {"bad source port", "//SCKE2x", kDecodeNotSegment},
        {"bad concatenation", "//SCK1581zz x", kDecodeNotSegment},
        {"cut concatenation", "//SCK15810A02", kDecodeNotSegment},
        {"junk after header", "//SCK1581050101x y", kDecodeNotSegment},
        {"sequence beyond count", "//SCK15810A0203 x", kDecodeNotSegment},
        {"sequence 0", "//SCK15810A0200 x", kDecodeNotSegment},
        {"count 0", "//SCK15810A0000 x", kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TNBS nbs;
        ASSERT_EQ(nbs.Decode(c.text), c.result);
        EXPECT_EQ(nbs.State(), c.state);
        if (c.result != kDecodeAccepted) {
            EXPECT_EQ(nbs.SegmentCount(), 0);
            continue;
        }
        EXPECT_EQ(nbs.DestPort(), c.dest);
        EXPECT_EQ(nbs.SourcePort(), c.source);
        EXPECT_EQ(nbs.Reference(), c.reference);
        EXPECT_EQ(nbs.SegmentCount(), c.count);
        EXPECT_EQ(nbs.ReceivedCount(), 1);
        EXPECT_EQ(nbs.OtherHeader(), c.other);
        if (c.state == kStateComplete)
            EXPECT_EQ(nbs.Data(), c.data);
        else
            EXPECT_THROW(
                {
                    try {
                        nbs.Data();
                    } catch (const EGSMError &e) {
                        EXPECT_STREQ(e.what(), "NBS not complete");
                        throw;
                    }
                },
                EGSMError);
        const int seq = c.count == 1 ? 1 : std::stoi(c.text.substr(c.text.find(' ') - 2, 2), nullptr, 16);
        EXPECT_EQ(nbs.SegmentHeaderLength(seq), c.headerLength);
        EXPECT_NE(nbs.Timestamp(), 0.0);
    }
}

TEST(TNBS, ResultCodesOfASecondSegment)
{
    struct TCase {
        const char *name;
        std::string text;
        uint8_t result;
    };
    const std::vector<TCase> cases = {
        {"same segment again", "//SCK1581050301 one", kDecodeAccepted},
        {"other payload, same number", "//SCK1581050301 eno", kDecodeConflict},
        {"other reference", "//SCK1581060302 two", kDecodeOtherPayload},
        {"other count", "//SCK1581050402 two", kDecodeOtherPayload},
        {"other ports", "//SCK1582050302 two", kDecodeOtherPayload},
        {"not numbered", "//SCK1581 two", kDecodeOtherPayload},
        {"sequence beyond count", "//SCK1581050304 two", kDecodeNotSegment},
        {"sequence 0", "//SCK1581050300 two", kDecodeNotSegment},
        {"no header", "two", kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TNBS nbs;
        ASSERT_EQ(nbs.Decode("//SCK1581050301 one"), kDecodeAccepted);
        const TSnapshot before(nbs);
        const TDateTime stamp = nbs.Timestamp();
        EXPECT_EQ(nbs.Decode(c.text), c.result);
        EXPECT_EQ(TSnapshot(nbs), before);
        EXPECT_EQ(nbs.Timestamp(), stamp);
        EXPECT_EQ(nbs.GetSegment(1), "//SCK1581050301 one");
    }
}

TEST(TNBS, ReassemblesInAnyOrder)
{
    TNBS sent;
    sent.SetOptions({poPortAddressing, poConcatenation});
    sent.SetDestPort(0x1581);
    sent.SetSourcePort(0x1581);
    sent.SetReference(1);
    const std::string data = repeat(300);
    sent.SetData(data);
    ASSERT_EQ(sent.SegmentCount(), 3);
    for (std::vector<int> order : {std::vector<int>{1, 2, 3}, {3, 1, 2}, {2, 3, 1}}) {
        TNBS received;
        for (size_t k = 0; k < order.size(); ++k) {
            ASSERT_EQ(received.Decode(sent.GetSegment(order[k])), kDecodeAccepted);
            EXPECT_EQ(received.ReceivedCount(), static_cast<int>(k + 1));
            EXPECT_EQ(received.State(), k + 1 == order.size() ? kStateComplete : kStateIncomplete);
        }
        EXPECT_EQ(received.Data(), data);
        // A repeat of a complete payload changes nothing.
        EXPECT_EQ(received.Decode(sent.GetSegment(2)), kDecodeAccepted);
        EXPECT_EQ(received.Data(), data);
    }
}

TEST(TNBS, ClearMakesTheObjectReusable)
{
    TNBS nbs;
    ASSERT_EQ(nbs.Decode("//SCK1581050301 one"), kDecodeAccepted);
    nbs.Clear();
    EXPECT_EQ(nbs.State(), kStateEmpty);
    EXPECT_EQ(nbs.SegmentCount(), 0);
    EXPECT_EQ(nbs.Decode("//SCK1020 other"), kDecodeAccepted);
    EXPECT_EQ(nbs.Data(), "other");
    EXPECT_THROW(nbs.GetSegment(2), EListError);
}

// ---------------------------------------------------------------------------------------------
// TUDHProtocol

// User data of a reference PDU (service centre, SMS-SUBMIT with a relative validity period and a
// 12-digit destination): the octets after TP-UDL.
std::string referenceUserData(const std::string &pdu)
{
    return HexToStr(pdu).substr(22);
}

// Port 5514 picture message in three parts and port 5505 ringing tone in two, as another SMS
// implementation wrote them: 16-bit ports and an 8-bit reference.
const std::vector<std::string> kPicturePdus = {
    "079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD03013002010000481C01FFFFFFFFFFFFFFFF"
    "FF800010800001080001800020400002040001800040200004020001800080100008010001800100080010008001C0020004"
    "0020004003A00400020040002005900800010080001009881000008100000811842000004200000421824000002400000241"
    "818000001800000181818000",
    "079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD030200180000018182400000240000024184"
    "20000040AAAAAE8B881000008455555D4490080001022AAABAA3A00400020515557550C0020004028AAAEAA9800100080545"
    "55D5548000801002A2ABAAAB8000402005515755548000204002A8AEAAAB8000108005545D55548000090002AA3AAAAB8000"
    "06000555355554FFFFFFFFFD",
    "079144775810065051000C9144214365870900F5FF1B0B0504158A00000003BD0303555555550000084869207468657265",
};
const std::vector<std::string> kRingtonePdus = {
    "079144775810065051000C9144214365870900F5FF8C0B0504158100000003BD0201024A3A5131BDB99C040B469647916156"
    "186288B126185584504184D85D8698A26C49A61761341061561961C628AB12718658550418598698A22C2CC22C49A6164106"
    "116156186288B126185584504184D85D8698A26C49A61761341061561961C628AB12718658550418598698A22C2CC22C49A6"
    "164106116156186288B12618",
    "079144775810065051000C9144214365870900F5FF6F0B0504158100000003BD02025584504184D85D8698A26C49A6176134"
    "1061561961C628AB12718658550418598698A22C2CC22C49A6164106116156186288B126185584504184D85D8698A26C49A6"
    "1761341061561961C628AB12718658550418598698A22C2CC22C49A61641060000",
};

TEST(TUDHProtocol, ReferenceMessagesDecodeAndEncodeAlike)
{
    struct TCase {
        const char *name;
        const std::vector<std::string> &pdus;
        uint16_t dest;
    };
    for (const TCase &c :
         {TCase{"picture message", kPicturePdus, 5514}, TCase{"ringing tone", kRingtonePdus, 5505}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> userData;
        for (const auto &pdu : c.pdus)
            userData.push_back(referenceUserData(pdu));
        TUDHProtocol received;
        std::string body;
        for (size_t i = userData.size(); i-- > 0;) // last part first
            ASSERT_EQ(received.Decode(userData[i]), kDecodeAccepted);
        for (const auto &ud : userData)
            body += ud.substr(12);
        EXPECT_EQ(received.DestPort(), c.dest);
        EXPECT_EQ(received.SourcePort(), 0);
        EXPECT_EQ(received.Reference(), 0xBDu);
        EXPECT_EQ(received.SegmentCount(), static_cast<int>(userData.size()));
        EXPECT_EQ(received.IEs().Count(), 0);
        ASSERT_EQ(received.State(), kStateComplete);
        EXPECT_EQ(received.Data(), body);

        // Built the way the window sends it, the same payload gives the same octets.
        TUDHProtocol sent;
        sent.SetOptions({poPortAddressing, poConcatenation});
        sent.SetDestPort(c.dest);
        sent.SetSourcePort(0);
        sent.SetReference(0xBD);
        sent.SetData(body);
        ASSERT_EQ(sent.SegmentCount(), static_cast<int>(userData.size()));
        for (int i = 1; i <= sent.SegmentCount(); ++i) {
            EXPECT_EQ(StrToHex(sent.GetSegment(i)), StrToHex(userData[static_cast<size_t>(i - 1)])) << i;
            EXPECT_EQ(sent.SegmentHeaderLength(i), 12);
        }
    }
}

TEST(TUDHProtocol, ReferenceHeadersOfOtherEncodings)
{
    // 16-bit reference 0x07BD (UCS2 text), 8-bit reference 0xBD (7-bit text: the header octets
    // come first, the septets after them are not looked at here).
    struct TCase {
        const char *name;
        std::string pdu;
        uint32_t reference;
        int count, sequence;
    };
    const std::vector<TCase> cases = {
        {"16-bit reference",
         "079144775810065051000C914421436587090008FF6B06080407BD020200200435044904510020044D04420438044500200"
         "4"
         "3C044F0433043A043804450020044404400430043D0446044304370441043A04380445002004310443043B043E043A002C0"
         "0"
         "200434043000200432044B043F04350439002004470430044E002E0020",
         0x07BD, 2, 2},
        {"7-bit text",
         "079144775810065051000C914421436587090000FF65050003BD0303F02075BD0D9F83DEF6B21C44479741ECB03E0F22BFC"
         "F"
         "2098CD05A2A2CBA0783D3D5E83C4F2F7DD0D32BFF12075BD0D9F83DEF6B21C44479741ECB03E0F22BFCF20D8CD05A2A2CBA"
         "0"
         "783D3D5E83C4F2F7DD0D02",
         0xBD, 3, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol udh;
        ASSERT_EQ(udh.Decode(referenceUserData(c.pdu)), kDecodeAccepted);
        EXPECT_EQ(udh.Reference(), c.reference);
        EXPECT_EQ(udh.SegmentCount(), c.count);
        EXPECT_EQ(udh.GetSegment(c.sequence), referenceUserData(c.pdu));
        EXPECT_EQ(udh.State(), kStateIncomplete);
    }
}

TEST(TUDHProtocol, CapacityPerSegment)
{
    struct TCase {
        const char *name;
        uint16_t dest, source;
        uint32_t reference;
        std::string head1; // header of the first of two segments
        size_t capacity;
    };
    const std::vector<TCase> cases = {
        {"8-bit ports and reference", 0x10, 0x20, 5, "09 04 02 10 20 00 03 05 02 01", 130},
        {"16-bit ports and reference", 0x1581, 0x1581, 0x1234, "0C 05 04 15 81 15 81 08 04 12 34 02 01", 125},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol udh;
        udh.SetOptions({poPortAddressing, poConcatenation});
        udh.SetDestPort(c.dest);
        udh.SetSourcePort(c.source);
        udh.SetReference(c.reference);
        const std::string data = repeat(2 * c.capacity);
        udh.SetData(data);
        ASSERT_EQ(udh.SegmentCount(), 2);
        EXPECT_EQ(udh.GetSegment(1), bytes(c.head1) + data.substr(0, c.capacity));
        udh.SetData(data + "x");
        EXPECT_EQ(udh.SegmentCount(), 3);
    }
}

TEST(TUDHProtocol, ConcatenationAddedWhenTheDataDoesNotFit)
{
    TUDHProtocol udh;
    udh.SetReference(9);
    udh.SetData(repeat(139));
    ASSERT_EQ(udh.SegmentCount(), 1);
    EXPECT_EQ(udh.GetSegment(1), bytes("00") + repeat(139));
    udh.SetData(repeat(140));
    ASSERT_EQ(udh.SegmentCount(), 2);
    EXPECT_EQ(udh.GetSegment(1), bytes("05 00 03 09 02 01") + repeat(140).substr(0, 134));
    EXPECT_EQ(udh.GetSegment(2), bytes("05 00 03 09 02 02") + repeat(140).substr(134));
    EXPECT_EQ(udh.Options(), TSMSProtocolOptions{}); // the fields are not changed
}

TEST(TUDHProtocol, DecodeTable)
{
    struct TCase {
        const char *name;
        std::string segment;
        uint8_t result;
        uint16_t dest = 0, source = 0;
        uint32_t reference = 0;
        int count = 0;
        std::string payload = "";
        std::vector<std::pair<uint8_t, std::string>> ies = {};
    };
    const std::vector<TCase> cases = {
        {"16-bit ports", bytes("06 05 04 15 81 15 81") + "data", kDecodeAccepted, 0x1581, 0x1581, 0, 1,
         "data"},
        {"8-bit ports", bytes("04 04 02 E2 E3") + "x", kDecodeAccepted, 0xE2, 0xE3, 0, 1, "x"},
        {"unknown element",
         bytes("05 0A 03 01 02 03") + "x",
         kDecodeAccepted,
         0,
         0,
         0,
         1,
         "x",
         {{0x0A, bytes("01 02 03")}}},
        {"short concatenation skipped", bytes("04 00 02 07 03") + "x", kDecodeAccepted, 0, 0, 0, 1, "x"},
        {"short 16-bit ports skipped", bytes("04 05 02 15 81") + "x", kDecodeAccepted, 0, 0, 0, 1, "x"},
        {"empty header", bytes("00") + "x", kDecodeAccepted, 0, 0, 0, 1, "x"},
        {"empty element", bytes("02 0B 00") + "x", kDecodeAccepted, 0, 0, 0, 1, "x", {{0x0B, ""}}},
        {"empty", "", kDecodeNotSegment},
        {"header beyond the data", bytes("05 00 03"), kDecodeNotSegment},
        {"element beyond the header", bytes("03 0A 05 01") + "xyz", kDecodeNotSegment},
        {"half an element", bytes("04 0A 01 01 0B") + "x", kDecodeNotSegment},
        {"sequence beyond count", bytes("05 00 03 01 02 03") + "x", kDecodeNotSegment},
        {"sequence 0", bytes("05 00 03 01 02 00") + "x", kDecodeNotSegment},
        {"count 0", bytes("05 00 03 01 00 00") + "x", kDecodeNotSegment},
        {"16-bit sequence beyond count", bytes("06 08 04 00 01 02 03") + "x", kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol udh;
        ASSERT_EQ(udh.Decode(c.segment), c.result);
        if (c.result != kDecodeAccepted) {
            EXPECT_EQ(udh.State(), kStateEmpty);
            EXPECT_EQ(udh.IEs().Count(), 0);
            continue;
        }
        EXPECT_EQ(udh.DestPort(), c.dest);
        EXPECT_EQ(udh.SourcePort(), c.source);
        EXPECT_EQ(udh.Reference(), c.reference);
        EXPECT_EQ(udh.SegmentCount(), c.count);
        EXPECT_EQ(udh.State(), kStateComplete);
        EXPECT_EQ(udh.Data(), c.payload);
        ASSERT_EQ(udh.IEs().Count(), static_cast<int>(c.ies.size()));
        for (size_t i = 0; i < c.ies.size(); ++i) {
            EXPECT_EQ(udh.IEs()[static_cast<int>(i)]->Identifier, c.ies[i].first);
            EXPECT_EQ(udh.IEs()[static_cast<int>(i)]->Data(), c.ies[i].second);
        }
    }
}

TEST(TUDHProtocol, ResultCodesOfASecondSegment)
{
    const std::string first = bytes("0B 04 02 10 20 00 03 07 02 01 0B 00") + "one";
    struct TCase {
        const char *name;
        std::string segment;
        uint8_t result;
    };
    const std::vector<TCase> cases = {
        {"same segment again", first, kDecodeAccepted},
        {"other payload, same number", bytes("05 00 03 07 02 01") + "eno", kDecodeConflict},
        {"other reference", bytes("09 04 02 10 20 00 03 08 02 02") + "two", kDecodeOtherPayload},
        {"other count", bytes("09 04 02 10 20 00 03 07 03 02") + "two", kDecodeOtherPayload},
        {"other ports", bytes("09 04 02 10 21 00 03 07 02 02") + "two", kDecodeOtherPayload},
        {"not numbered", bytes("04 04 02 10 20") + "two", kDecodeOtherPayload},
        {"sequence beyond count", bytes("05 00 03 07 02 03") + "two", kDecodeNotSegment},
        {"sequence 0", bytes("05 00 03 07 02 00") + "two", kDecodeNotSegment},
        {"truncated", bytes("09 04 02 10 20 00 03"), kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol udh;
        ASSERT_EQ(udh.Decode(first), kDecodeAccepted);
        const TSnapshot before(udh);
        EXPECT_EQ(udh.Decode(c.segment), c.result);
        EXPECT_EQ(TSnapshot(udh), before);
        // A repeated segment does not add its elements a second time.
        EXPECT_EQ(udh.IEs().Count(), 1);
    }
    // Without ports, a later segment keeps the ports of the first.
    TUDHProtocol udh;
    ASSERT_EQ(udh.Decode(first), kDecodeAccepted);
    EXPECT_EQ(udh.Decode(bytes("05 00 03 07 02 02") + "two"), kDecodeAccepted);
    EXPECT_EQ(udh.Data(), "onetwo");
}

// Elements and payload of every size survive the trip through segments in any order: each
// element's pieces join up to its data again, and every segment fits one message.
TEST(TUDHProtocol, ElementsCutAcrossSegmentsAndJoined)
{
    std::mt19937 random(42);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        TUDHProtocol sent;
        sent.Lock();
        std::vector<std::pair<uint8_t, std::string>> elements;
        const int n = static_cast<int>(random() % 4);
        for (int i = 0; i < n; ++i) {
            const uint8_t identifier = static_cast<uint8_t>(0x0A + i);
            elements.emplace_back(identifier, repeat(random() % 256, static_cast<char>('A' + i)));
            sent.IEs().Add(std::make_unique<TIE>(identifier, elements.back().second));
        }
        sent.Unlock();
        if (random() % 2)
            sent.SetOptions({poPortAddressing});
        sent.SetDestPort(static_cast<uint16_t>(random() % 2 ? 0x1581 : 0x81));
        sent.SetReference(random() % 2 ? 0x1234 : 0x12);
        const std::string data = repeat(random() % 700);
        sent.SetData(data);
        sent.Encode();

        std::vector<int> order(static_cast<size_t>(sent.SegmentCount()));
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<int>(i + 1);
        std::shuffle(order.begin(), order.end(), random);
        for (int i : order)
            ASSERT_LE(sent.GetSegment(i).size(), 140u);
        auto received = receive<TUDHProtocol>(sent, order);
        ASSERT_EQ(received->State(), kStateComplete);
        EXPECT_EQ(received->Data(), data);
        std::map<uint8_t, std::string> joined;
        for (int i = 0; i < received->IEs().Count(); ++i)
            joined[received->IEs()[i]->Identifier] += received->IEs()[i]->Data();
        for (const auto &[identifier, d] : elements)
            EXPECT_EQ(joined[identifier], d) << int(identifier);
    }
}

TEST(TUDHProtocol, ElementBoundaries)
{
    struct TCase {
        const char *name;
        size_t first;                        // data octets of element 0x0A
        std::string second;                  // data of element 0x0B
        std::vector<std::string> ies1, ies2; // elements of segments 1 and 2 after the concatenation
    };
    // With concatenation a segment holds 134 octets of elements and payload.
    const std::vector<TCase> cases = {
        // 0x0A leaves one octet: the empty 0x0B opens the second segment instead of being lost.
        {"empty element after a full segment", 131, "", {"0A"}, {"0B 00"}},
        // 0x0A leaves two octets: 0x0B moves whole instead of leaving an empty piece behind.
        {"no empty piece", 130, "ABCDE", {"0A"}, {"0B 05 41 42 43 44 45"}},
        // 0x0A does not fit: cut after 132 octets, the rest opens the next segment.
        {"cut element", 140, "", {"0A"}, {"0A 08", "0B 00"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol udh;
        udh.SetOptions({poConcatenation});
        udh.IEs().Add(std::make_unique<TIE>(0x0A, repeat(c.first)));
        udh.IEs().Add(std::make_unique<TIE>(0x0B, c.second));
        udh.SetData("xyz");
        ASSERT_EQ(udh.SegmentCount(), 2);
        const std::string s2 = udh.GetSegment(2);
        std::string expected2 = bytes("05 00 03 00 02 02");
        for (const auto &ie : c.ies2)
            expected2 += bytes(ie) + (ie == "0A 08" ? repeat(c.first).substr(132) : "");
        expected2[0] = static_cast<char>(expected2.size() - 1);
        EXPECT_EQ(StrToHex(s2), StrToHex(expected2 + "xyz"));
        auto received = receive<TUDHProtocol>(udh, {2, 1});
        EXPECT_EQ(received->Data(), "xyz");
        std::string joined;
        for (int i = 0; i < received->IEs().Count(); ++i)
            if (received->IEs()[i]->Identifier == 0x0A)
                joined += received->IEs()[i]->Data();
        EXPECT_EQ(joined, repeat(c.first));
    }
}

TEST(TUDHProtocol, ElementListReencodes)
{
    TUDHProtocol udh;
    udh.SetData("x");
    EXPECT_EQ(udh.GetSegment(1), bytes("00") + "x");
    udh.IEs().Add(std::make_unique<TIE>(0x0A, bytes("01 02")));
    EXPECT_EQ(udh.GetSegment(1), bytes("04 0A 02 01 02") + "x");
    udh.Lock();
    udh.IEs().Add(std::make_unique<TIE>(0x0B, ""));
    EXPECT_EQ(udh.GetSegment(1), bytes("04 0A 02 01 02") + "x"); // not while locked
    udh.Unlock();
    udh.IEs().Delete(0);
    EXPECT_EQ(udh.GetSegment(1), bytes("02 0B 00") + "x");
}

TEST(TUDHProtocol, ClearWithElementsMakesTheObjectReusable)
{
    TUDHProtocol udh;
    ASSERT_EQ(udh.Decode(bytes("0A 00 03 07 02 01 0A 03 01 02 03") + "one"), kDecodeAccepted);
    ASSERT_EQ(udh.IEs().Count(), 1);
    udh.Clear();
    EXPECT_EQ(udh.State(), kStateEmpty);
    EXPECT_EQ(udh.SegmentCount(), 0);
    EXPECT_EQ(udh.IEs().Count(), 0);
    EXPECT_EQ(udh.Decode(bytes("05 00 03 08 01 01") + "other"), kDecodeAccepted);
    EXPECT_EQ(udh.Data(), "other");
}

TEST(TUDHProtocol, EncodeRefusesWhatCannotBeNumbered)
{
    TUDHProtocol udh;
    udh.SetData("small");
    const std::string segment = udh.GetSegment(1);
    // Refused, the payload and its segments stay as they were, and a second try is refused too.
    EXPECT_THROW(udh.SetData(repeat(134 * 256)), EGSMError);
    EXPECT_EQ(udh.Data(), "small");
    EXPECT_EQ(udh.SegmentCount(), 1);
    EXPECT_EQ(udh.GetSegment(1), segment);
    EXPECT_THROW(udh.SetData(repeat(134 * 256)), EGSMError);
}

// ---------------------------------------------------------------------------------------------
// TSiemensOTA

std::unique_ptr<TSiemensOTA> otaObject(const std::string &data)
{
    auto ota = std::make_unique<TSiemensOTA>();
    ota->ObjectName = "ringtone10";
    ota->ObjectType = "audio/mid";
    ota->SetReference(0x01020304);
    ota->SetData(data);
    return ota;
}

TEST(TSiemensOTA, EncodeEqualPackets)
{
    std::string data;
    for (int i = 0; i < 250; ++i)
        data += static_cast<char>(i);
    auto ota = otaObject(data);
    ASSERT_EQ(ota->SegmentCount(), 3);
    EXPECT_EQ(ota->ObjectSize, 250u);
    const std::string head = "//SEO" + bytes("01 54 00 04 03 02 01");
    const std::string tail = bytes("03 00 FA 00 00 00 0A") + "ringtone10" + bytes("09") + "audio/mid";
    EXPECT_EQ(ota->GetSegment(1), head + bytes("01 00") + tail + data.substr(0, 84));
    EXPECT_EQ(ota->GetSegment(3), head + bytes("03 00") + tail + data.substr(168) + bytes("00 00"));
    EXPECT_EQ(ota->SegmentHeaderLength(1), 41);
    EXPECT_EQ(ota->GetSegment(1).size(), 125u);
}

TEST(TSiemensOTA, DecodesInAnyOrder)
{
    std::string data;
    for (int i = 0; i < 250; ++i)
        data += static_cast<char>(255 - i);
    auto sent = otaObject(data);
    std::vector<int> order = {1, 2, 3};
    do {
        auto received = receive<TSiemensOTA>(*sent, order);
        ASSERT_EQ(received->State(), kStateComplete);
        EXPECT_EQ(received->Data(), data); // exactly 250 octets, the padding removed
        EXPECT_EQ(received->ObjectName, "ringtone10");
        EXPECT_EQ(received->ObjectType, "audio/mid");
        EXPECT_EQ(received->Reference(), 0x01020304u);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(TSiemensOTA, EncodeLimits)
{
    auto empty = otaObject("");
    empty->Encode();
    ASSERT_EQ(empty->SegmentCount(), 1);
    auto received = receive<TSiemensOTA>(*empty, {1});
    EXPECT_EQ(received->Data(), "");

    TSiemensOTA crowded;
    crowded.ObjectName = repeat(60);
    crowded.ObjectType = repeat(58);
    EXPECT_THROW(
        {
            try {
                crowded.SetData("x");
            } catch (const EGSMError &e) {
                EXPECT_STREQ(e.what(), "Object name too long");
                throw;
            }
        },
        EGSMError);
    crowded.ObjectType = repeat(57); // one octet of room
    crowded.SetData("xy");
    EXPECT_EQ(crowded.SegmentCount(), 2);
}

// A packet of the ten-octet object "0123456789" with the given fields.
std::string otaPacket(uint32_t packetLength, uint16_t packet, uint16_t packets, uint32_t size,
                      const std::string &data, uint8_t version = 1)
{
    return "//SEO" + std::string(1, static_cast<char>(version)) + IntToLE(packetLength, 2) + IntToLE(77, 4) +
           IntToLE(packet, 2) + IntToLE(packets, 2) + IntToLE(size, 4) + PascalString("n") +
           PascalString("t") + data;
}

TEST(TSiemensOTA, DecodeTable)
{
    struct TCase {
        const char *name;
        std::string segment;
        uint8_t result;
    };
    const std::vector<TCase> cases = {
        {"first of two", otaPacket(5, 1, 2, 10, "01234"), kDecodeAccepted},
        {"text in front", "xx" + otaPacket(5, 1, 2, 10, "01234"), kDecodeAccepted},
        {"no marker", "SEO" + otaPacket(5, 1, 2, 10, "01234").substr(5), kDecodeNotSegment},
        {"version 2", otaPacket(5, 1, 2, 10, "01234", 2), kDecodeNotSegment},
        {"packet data cut", otaPacket(5, 1, 2, 10, "0123"), kDecodeNotSegment},
        {"packet 0", otaPacket(5, 0, 2, 10, "01234"), kDecodeNotSegment},
        {"packet beyond count", otaPacket(5, 3, 2, 10, "01234"), kDecodeNotSegment},
        {"no packets", otaPacket(5, 1, 0, 10, "01234"), kDecodeNotSegment},
        {"more packets than octets", otaPacket(5, 1, 65535, 10, "01234"), kDecodeNotSegment},
        {"empty name", "//SEO" + bytes("01 01 00 00 00 00 00 01 00 01 00 01 00 00 00 00 01") + "tx",
         kDecodeNotSegment},
        {"empty type",
         "//SEO" + bytes("01 01 00 00 00 00 00 01 00 01 00 01 00 00 00 01") + "n" + bytes("00") + "xxxxx",
         kDecodeNotSegment},
        {"type beyond the data",
         "//SEO" + bytes("01 01 00 00 00 00 00 01 00 01 00 01 00 00 00 01") + "n" + bytes("09") + "tt",
         kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TSiemensOTA ota;
        ASSERT_EQ(ota.Decode(c.segment), c.result);
        if (c.result != kDecodeAccepted) {
            EXPECT_EQ(ota.State(), kStateEmpty);
            continue;
        }
        EXPECT_EQ(ota.State(), kStateIncomplete);
        EXPECT_EQ(ota.SegmentCount(), 2);
        EXPECT_EQ(ota.ObjectSize, 10u);
        EXPECT_EQ(ota.Reference(), 77u);
        EXPECT_EQ(ota.SegmentHeaderLength(1), static_cast<int>(c.segment.size()) - 5);
        EXPECT_EQ(ota.Decode(otaPacket(5, 2, 2, 10, "56789")), kDecodeAccepted);
        EXPECT_EQ(ota.Data(), "0123456789");
    }
    // Every cut of a valid packet is refused or read within its octets.
    const std::string whole = otaPacket(5, 1, 2, 10, "01234");
    for (size_t n = 0; n < whole.size(); ++n) {
        TSiemensOTA ota;
        EXPECT_EQ(ota.Decode(whole.substr(0, n)), kDecodeNotSegment) << n;
    }
}

TEST(TSiemensOTA, ResultCodesOfASecondPacket)
{
    struct TCase {
        const char *name;
        std::string segment;
        uint8_t result;
    };
    const std::string first = otaPacket(5, 1, 2, 10, "01234");
    const std::vector<TCase> cases = {
        {"same packet again", first, kDecodeAccepted},
        {"other data, same number", otaPacket(5, 1, 2, 10, "43210"), kDecodeConflict},
        {"other size", otaPacket(5, 2, 2, 9, "56789"), kDecodeOtherPayload},
        {"other count", otaPacket(5, 2, 3, 10, "56789"), kDecodeOtherPayload},
        {"other name", otaPacket(5, 2, 2, 10, "56789").replace(21, 1, "m"), kDecodeOtherPayload},
        {"packet beyond count", otaPacket(5, 3, 2, 10, "56789"), kDecodeNotSegment},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TSiemensOTA ota;
        ASSERT_EQ(ota.Decode(first), kDecodeAccepted);
        const TSnapshot before(ota);
        EXPECT_EQ(ota.Decode(c.segment), c.result);
        EXPECT_EQ(TSnapshot(ota), before);
    }
}

// Any cut of any valid segment, and any single changed octet, decodes within bounds (the
// sanitizers watch every read) and never announces more segments than one header allows.
TEST(AllProtocols, SurviveCutAndChangedSegments)
{
    TNBS nbs;
    nbs.SetOptions({poPortAddressing, poConcatenation});
    nbs.SetDestPort(0x1581);
    nbs.SetOtherHeader("x");
    nbs.SetData(repeat(200));
    TUDHProtocol udh;
    udh.IEs().Add(std::make_unique<TIE>(0x0A, repeat(150)));
    udh.SetData(repeat(100));
    auto ota = otaObject(repeat(150));
    std::vector<std::pair<std::string, std::function<std::unique_ptr<TSMSProtocol>()>>> kinds = {
        {nbs.GetSegment(1), [] { return std::make_unique<TNBS>(); }},
        {udh.GetSegment(1), [] { return std::make_unique<TUDHProtocol>(); }},
        {ota->GetSegment(1), [] { return std::make_unique<TSiemensOTA>(); }},
    };
    for (const auto &[segment, make] : kinds) {
        for (size_t n = 0; n <= segment.size(); ++n) {
            auto p = make();
            const uint8_t r = p->Decode(segment.substr(0, n));
            EXPECT_TRUE(r == kDecodeAccepted || r == kDecodeNotSegment);
            EXPECT_LE(p->SegmentCount(), 65535);
        }
        for (size_t i = 0; i < segment.size(); ++i) {
            for (int v : {0x00, 0x30, 0xFF}) {
                std::string changed = segment;
                changed[i] = static_cast<char>(v);
                auto p = make();
                p->Decode(changed);
                EXPECT_LE(p->ReceivedCount(), 1);
            }
        }
    }
}

} // namespace
