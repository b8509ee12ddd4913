// Payloads written by strangers: bitmaps that promise more than they carry or more than fits,
// empty and very long texts, a vCard line of 100 KiB, ringing tones that stop mid-structure, a
// melody with a very long name, iMelody texts with wrong directory names. Rows name files of the payload fuzz
// corpora.
#include "hostilecorpus.h"

#include "fuzz/smartmessages/smartmessagefuzz.h"

#include "base/format.h"
#include "gsm/gsmerror.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

int blackPixels(const QImage &frame)
{
    int n = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            n += (frame.pixel(x, y) & 0xFFFFFF) == 0;
    return n;
}

std::string describe(const TSmartMessage &m)
{
    std::string out = m.ClassName();
    if (auto *b = dynamic_cast<const TSMOTABitmap *>(&m)) {
        out += Format(" %dx%d black", b->Width(), b->Height());
        for (int i = 0; i < b->FrameCount(); ++i)
            out += Format(" %d", blackPixels(b->Frames(i)));
    } else if (auto *t = dynamic_cast<const TSMTextISO *>(&m)) {
        out += Format(" [%zu]", t->Text.size());
        if (t->Text.size() <= 16)
            out += t->Text;
    } else if (auto *u = dynamic_cast<const TSMTextUnicode *>(&m)) {
        out += Format(" [%lld]", static_cast<long long>(u->Text.size()));
    } else if (auto *x = dynamic_cast<const TSMUnknown *>(&m)) {
        out += Format(" type %d [%zu]", x->ItemType, x->RawData.size());
    } else if (auto *mp = dynamic_cast<const TSMMultipartMessage *>(&m)) {
        out += " (";
        for (size_t i = 0; i < mp->Items.size(); ++i)
            out += (i ? ", " : "") + describe(*mp->Items[i]);
        out += ")";
    } else if (auto *d = dynamic_cast<const TSMMIMEDirectory *>(&m)) {
        for (int i = 0; i < d->Records.Count(); ++i)
            out += Format(" %s[%zu]", d->Records.Names(i).c_str(), d->Records.ValueFromIndex(i).size());
    }
    return out;
}

std::string portOutcome(const std::string &input)
{
    const uint16_t port = fuzz::kPorts[static_cast<uint8_t>(input.at(0)) % std::size(fuzz::kPorts)];
    try {
        auto m = TSmartMessage::CreateFromPort(input.substr(1), port);
        return m ? describe(*m) : "no payload class";
    } catch (const EGSMError &e) {
        return std::string("EGSMError: ") + e.what();
    }
}

TEST(HostilePayload, ByPort)
{
    struct TCase {
        const char *name;
        std::string expected;
    } cases[] = {
        // 72 x 14 promised, four octets sent: 16 pixels set, the rest white.
        {"hostile_bitmap_beyond_data", "TSMMultipartMessage (TSMOTABitmap 72x14 black 16)"},
        {"hostile_bitmap_16bit_size_gigapixels",
         "EGSMError: Bitmap of 65535 x 65535 pixels in 1 frames is too large"},
        {"hostile_bitmap_too_many_frames", "EGSMError: Bitmap of 255 x 255 pixels in 16 frames is too large"},
        // Sixteen frames announced, data for the first one only.
        {"hostile_bitmap_sixteen_frames_short", "TSMCLIIcon 8x8 black 64 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
        {"hostile_multipart_zero_length_texts", "TSMMultipartMessage (TSMTextISO [0], TSMTextUnicode [0])"},
        // An item longer than the payload gets what there is.
        {"hostile_multipart_item_beyond_payload", "TSMMultipartMessage (TSMTextISO [9]cut short)"},
        {"hostile_multipart_long_text", "TSMMultipartMessage (TSMTextISO [60000])"},
        {"hostile_vcard_line_100k", "TSMvCard N[102400] TEL[13]"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(portOutcome(Corpus("smartmessages_ports", c.name)), c.expected) << c.name;
}

TEST(HostilePayload, DirectoryLineOf100KiB)
{
    const std::string input = Corpus("smartmessages_directory", "hostile_line_100k");
    TDirectoryRecords records;
    records.SetData(input.substr(1));
    EXPECT_EQ(records.Kind, "VCARD");
    ASSERT_EQ(records.Count(), 1);
    EXPECT_EQ(records.Values("NOTE"), std::string(100 * 1024, 'y'));
    // Folded at 75 characters it reads back the same.
    records.FoldingLength = 75;
    TDirectoryRecords again;
    again.SetData(records.Data());
    EXPECT_EQ(again.Values("NOTE"), records.Values("NOTE"));
}

TEST(HostilePayload, RingingTonesEndingMidStructure)
{
    struct TCase {
        const char *name;
        const char *error;
        size_t commandsKept;
    } cases[] = {
        {"hostile_cut_in_title", "Read beyond end of bit stream", 0},
        {"hostile_cut_in_pattern", "Read beyond end of bit stream", 0},
        {"hostile_cut_before_command_end", "Read beyond end of bit stream", 1},
    };
    for (const auto &c : cases) {
        TSMRingingTone tone;
        EXPECT_EQ(ErrorOf([&] { tone.SetData(Corpus("smartmessages_ringtone", c.name)); }), c.error)
            << c.name;
        EXPECT_EQ(tone.Commands.size(), c.commandsKept) << c.name;
        tone.RTTTL(); // what was read still exports
    }
    // The whole tone for comparison.
    TSMRingingTone whole;
    whole.SetData(Corpus("smartmessages_ringtone", "nokia"));
    EXPECT_EQ(whole.Commands.size(), 1u);
}

TEST(HostilePayload, MelodyWithAVeryLongName)
{
    TSMRingingTone tone;
    tone.SetRTTTL(QString::fromLatin1(Corpus("smartmessages_rtttl", "hostile_long_name")));
    // The binary title holds 15 characters.
    EXPECT_EQ(tone.RTTTL().toStdString(), "NNNNNNNNNNNNNNN:o=5,d=4,b=63:c,8d#6.");
    TSMRingingTone parsed;
    parsed.SetData(tone.GetData());
    EXPECT_EQ(parsed.GetData(), tone.GetData());
}

TEST(HostilePayload, IMelodyWithWrongDirectoryNames)
{
    // The corpus input is the class octet of the fuzz target, then the element data.
    struct Case {
        const char *name;
        const char *error;
    };
    const Case cases[] = {
        {"hostile_imelody_wrong_directory", "Bad directory name"},
        {"hostile_imelody_without_begin", "Bad format"},
        {"hostile_imelody_end_names_other_directory", "Bad format"},
        {"hostile_imelody_without_end", "Bad format"},
    };
    for (const Case &c : cases) {
        const std::string input = Corpus("ems_objects", c.name);
        TEMSSoundUserDef sound;
        EXPECT_EQ(ErrorOf([&] { sound.SetData(input.substr(1)); }), c.error) << c.name;
        // Refused: no record of the stranger's text is kept, the object stays an iMelody and
        // what it renders now reads back.
        EXPECT_EQ(sound.Records.Count(), 0) << c.name;
        EXPECT_EQ(sound.Records.Kind, "IMELODY") << c.name;
        TEMSSoundUserDef again;
        EXPECT_EQ(ErrorOf([&] { again.SetData(sound.GetData()); }), "") << c.name;
        EXPECT_EQ(again.GetData(), sound.GetData()) << c.name;
    }
}

TEST(HostilePayload, SiemensObjectWithALongName)
{
    // The corpus input is the length of a first segment (none) and the segment.
    const std::string input = Corpus("protocols_ota", "hostile_long_object_name");
    TSiemensOTA ota;
    ASSERT_EQ(ota.Decode(input.substr(1)), kDecodeAccepted);
    EXPECT_EQ(ota.ObjectName, std::string(255, 'n'));
    EXPECT_EQ(ota.ObjectType, "bmp");
    ASSERT_EQ(ota.State(), kStateComplete);
    EXPECT_EQ(ota.Data(), "DATA");
    // A name that long leaves no room in a packet of our own: refused, the fields unchanged.
    EXPECT_EQ(ErrorOf([&] { ota.SetData("DATA2"); }), "Object name too long");
    EXPECT_EQ(ota.Data(), "DATA");
}

} // namespace
