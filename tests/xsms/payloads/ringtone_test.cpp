#include "gsm/gsmerror.h"
#include "payloadvectors.h"
#include "xsms/ringtone.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using test::Bytes;

std::string errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const EGSMError &e) {
        return e.what();
    }
    return "(no error)";
}

// The song of the first command, as built by the RTTTL import.
const TSMRTTemporarySong &songOf(const TSMRingingTone &tone)
{
    return dynamic_cast<const TSMRTTemporarySong &>(*tone.Commands.at(0)->Parts.at(1));
}

// Instructions of the first pattern as short text: "S1 T8 N1/2/0".
std::string describe(const TSMRTPattern &pattern)
{
    std::string out;
    for (const auto &in : pattern.Instructions) {
        if (!out.empty())
            out += ' ';
        if (auto *n = dynamic_cast<const TSMRTNote *>(in.get()))
            out += "N" + std::to_string(n->Value) + "/" + std::to_string(n->Duration) + "/" +
                   std::to_string(n->DurationSpecifier);
        else if (auto *s = dynamic_cast<const TSMRTScale *>(in.get()))
            out += "S" + std::to_string(s->Value);
        else if (auto *t = dynamic_cast<const TSMRTTempo *>(in.get()))
            out += "T" + std::to_string(t->Value);
        else if (auto *st = dynamic_cast<const TSMRTStyle *>(in.get()))
            out += "Y" + std::to_string(st->Value);
        else if (auto *v = dynamic_cast<const TSMRTVolume *>(in.get()))
            out += "V" + std::to_string(v->Value);
    }
    return out;
}

std::unique_ptr<TSMRTCommand> toneCommand(std::unique_ptr<TSMRTCommandPart> song)
{
    auto c = std::make_unique<TSMRTCommand>();
    c->Parts.push_back(std::make_unique<TSMRTRingingTone>());
    c->Parts.push_back(std::move(song));
    return c;
}

TEST(RingingTone, EmptyToneIsTheCommandEnd)
{
    TSMRingingTone tone;
    EXPECT_EQ(tone.GetData(), std::string(1, '\0'));
    tone.SetData(std::string(1, '\0'));
    EXPECT_TRUE(tone.Commands.empty());
    EXPECT_EQ(tone.RTTTL(), "");
}

TEST(RingingTone, ImportsAndExportsTheRtttlExample)
{
    TSMRingingTone tone;
    tone.SetRTTTL("Test:d=4,o=5,b=63:c,8d#6.");
    ASSERT_EQ(tone.Commands.size(), 1u);
    ASSERT_EQ(tone.Commands[0]->Parts.size(), 2u);
    EXPECT_NE(dynamic_cast<TSMRTRingingTone *>(tone.Commands[0]->Parts[0].get()), nullptr);
    auto *song = dynamic_cast<TSMRTBasicSong *>(tone.Commands[0]->Parts[1].get());
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->Title(), "Test");
    ASSERT_EQ(song->Patterns.size(), 1u);
    EXPECT_EQ(describe(*song->Patterns[0]), "S1 T8 N1/2/0 S2 N4/3/1");
    EXPECT_EQ(tone.RTTTL(), "Test:o=5,d=4,b=63:c,8d#6.");

    // The binary form reads back to the same tree.
    TSMRingingTone parsed;
    parsed.SetData(tone.GetData());
    EXPECT_EQ(parsed.RTTTL(), "Test:o=5,d=4,b=63:c,8d#6.");
    EXPECT_EQ(parsed.GetData(), tone.GetData());
}

TEST(RingingTone, RtttlImportCases)
{
    struct Case {
        const char *rtttl;
        const char *instructions;
    } cases[] = {
        {":b=64:c", "T9 N1/2/0"},
        {":b=1000:c", "T31 N1/2/0"},
        {":b=$40,o=0x6:c", "T9 S2 N1/2/0"}, // the runtime's integer forms
        {":b=0,o=3,d=3:c", "N1/2/0"},       // ignored values
        {":d8,o7:c,x,32p,h4;,a#", "S3 N1/3/0 N0/5/0 S0 N12/3/3 S3 N11/3/0"},
        {":s=s,sc,sn,sx:e#", "Y2 Y1 Y0 N5/2/0"}, // e# is e: only c, d, f, g and a take a sharp
        {"::16,4,c.b=70s=c,d", "T9 Y1 N1/2/1 N3/2/0"},
        {": d=8 , o=6 :  c , d ", "S2 N1/3/0 N3/3/0"},
        {"::", ""},
    };
    for (const Case &c : cases) {
        TSMRingingTone tone;
        tone.SetRTTTL(c.rtttl);
        EXPECT_NE(dynamic_cast<const TSMRTTemporarySong *>(&songOf(tone)), nullptr);
        EXPECT_EQ(dynamic_cast<const TSMRTBasicSong *>(&songOf(tone)), nullptr);
        EXPECT_EQ(describe(*songOf(tone).Patterns.at(0)), c.instructions) << c.rtttl;
    }
}

TEST(RingingTone, TempoTableMapping)
{
    EXPECT_EQ(TSMRTTempo::FromBPM(63), 8);
    EXPECT_EQ(TSMRTTempo::FromBPM(64), 9);
    EXPECT_EQ(TSMRTTempo::FromBPM(25), 0);
    EXPECT_EQ(TSMRTTempo::FromBPM(801), 31);
    EXPECT_EQ(TSMRTTempo::FromBPM(100000), 31);
    EXPECT_EQ(TSMRTTempo::ToBPM(8), 63);
    EXPECT_EQ(TSMRTTempo::ToBPM(-3), 25);
    EXPECT_EQ(TSMRTTempo::ToBPM(40), 900);
    for (int code = 0; code < 32; ++code)
        EXPECT_EQ(TSMRTTempo::FromBPM(TSMRTTempo::ToBPM(code)), code);
}

TEST(RingingTone, TitlesAreCutToFifteenCharacters)
{
    TSMRingingTone tone;
    tone.SetRTTTL("ABCDEFGHIJKLMNOPQRST:d=4:c");
    const auto &song = dynamic_cast<const TSMRTBasicSong &>(songOf(tone));
    EXPECT_EQ(song.Title(), "ABCDEFGHIJKLMNO");
    const std::string data = tone.GetData();
    TSMRingingTone parsed;
    parsed.SetData(data);
    EXPECT_EQ(dynamic_cast<const TSMRTBasicSong &>(songOf(parsed)).Title(), "ABCDEFGHIJKLMNO");
    EXPECT_EQ(parsed.RTTTL(), "ABCDEFGHIJKLMNO:o=5,d=4,b=63:c");
}

TEST(RingingTone, UnicodePartSwitchesTitlesToSixteenBits)
{
    const QString title = QString::fromUtf8("Ωμέγα");
    TSMRingingTone tone;
    auto command = std::make_unique<TSMRTCommand>();
    command->Parts.push_back(std::make_unique<TSMRTUnicode>());
    auto song = std::make_unique<TSMRTBasicSong>();
    song->SetTitle(title);
    command->Parts.push_back(std::move(song));
    tone.Commands.push_back(std::move(command));
    const std::string data = tone.GetData();
    // 02, unicode part 0100010 + pad, song part 0011101 + type 001 + length 0101 + 16-bit chars
    EXPECT_EQ(data.substr(0, 2), Bytes("0244"));
    TSMRingingTone parsed;
    parsed.SetData(data);
    ASSERT_EQ(parsed.Commands.at(0)->Parts.size(), 2u);
    EXPECT_EQ(dynamic_cast<const TSMRTBasicSong &>(*parsed.Commands[0]->Parts[1]).Title(), title);
    EXPECT_EQ(parsed.GetData(), data);

    // Cancelling the unicode part returns to 8-bit characters, for the writer and the reader.
    auto &parts = tone.Commands[0]->Parts;
    auto cancel = std::make_unique<TSMRTCancel>();
    cancel->Value = kRTPartUnicode;
    parts.insert(parts.begin() + 1, std::move(cancel));
    static_cast<TSMRTBasicSong &>(*parts[2]).SetTitle("Ab");
    const std::string eightBit = tone.GetData();
    TSMRingingTone reparsed;
    reparsed.SetData(eightBit);
    EXPECT_EQ(dynamic_cast<const TSMRTBasicSong &>(*reparsed.Commands[0]->Parts.at(2)).Title(), "Ab");
    // 03, unicode, cancel 0000101 0100010 + pad (2 octets), song 0011101 001 0010 'A' 'b' ...
    EXPECT_EQ(eightBit.substr(0, 4), Bytes("03440A88"));
    EXPECT_EQ(eightBit.substr(4, 4), Bytes("3A490588"));
}

TEST(RingingTone, PatternWritesAtMost255Instructions)
{
    auto song = std::make_unique<TSMRTTemporarySong>();
    auto pattern = std::make_unique<TSMRTPattern>();
    for (int i = 0; i < 300; ++i)
        pattern->Instructions.push_back(std::make_unique<TSMRTNote>(uint8_t(i % 13), 2, 0));
    song->Patterns.push_back(std::move(pattern));
    TSMRingingTone tone;
    tone.Commands.push_back(toneCommand(std::move(song)));
    TSMRingingTone parsed;
    parsed.SetData(tone.GetData());
    const auto &instructions = songOf(parsed).Patterns.at(0)->Instructions;
    ASSERT_EQ(instructions.size(), 255u);
    EXPECT_EQ(dynamic_cast<const TSMRTNote &>(*instructions[254]).Value, 254 % 13);
}

TEST(RingingTone, ReadErrors)
{
    struct Case {
        const char *hex;
        const char *error;
    } cases[] = {
        {"0102", "Bad ringing tone format"},         // part code 1
        {"013A00", "Bad ringing tone format"},       // song type 0
        {"013B80", "Bad ringing tone format"},       // song type 6
        {"013BC0", "Bad ringing tone format"},       // song type 7
        {"013AC0", "Unsupported song type"},         // song type 3, MIDI
        {"013B00", "Unsupported song type"},         // song type 4, digitised
        {"013B40", "Unsupported song type"},         // song type 5, polyphonic
        {"013A8048", "Bad ringing tone format"},     // pattern header 001
        {"013A80400020", "Bad ringing tone format"}, // instruction id 0
        {"013A80400038", "Bad ringing tone format"}, // instruction id 6
        {"013A8040003C", "Bad ringing tone format"}, // instruction id 7
        {"014A", "Read beyond end of bit stream"},   // no command end
        {"024A", "Read beyond end of bit stream"},   // second part missing
        {"", "Read beyond end of bit stream"},
    };
    for (const Case &c : cases) {
        TSMRingingTone tone;
        EXPECT_EQ(errorOf([&] { tone.SetData(Bytes(c.hex)); }), c.error) << c.hex;
    }
    // Commands completed before the failure stay.
    TSMRingingTone tone;
    EXPECT_THROW(tone.SetData(Bytes("014A014A0102")), EGSMError);
    EXPECT_EQ(tone.Commands.size(), 2u);
}

TEST(RingingTone, WriteErrors)
{
    class TOddPart : public TSMRTCommandPart {};
    class TOddInstruction : public TSMRTInstruction {
    public:
        void Read(TBitStream &) override {}
        void Write(TBitStream &) const override {}
        const char *ClassName() const override { return "TOddInstruction"; }
    };
    auto check = [](std::unique_ptr<TSMRTCommandPart> part, const char *error) {
        TSMRingingTone tone;
        tone.Commands.push_back(std::make_unique<TSMRTCommand>());
        tone.Commands[0]->Parts.push_back(std::move(part));
        EXPECT_EQ(errorOf([&] { tone.GetData(); }), error);
    };
    check(std::make_unique<TOddPart>(), "Ringing code encoding error");
    check(std::make_unique<TSMRTSound>(), "Ringing code encoding error");
    check(std::make_unique<TSMRTMidiSong>(), "Unsupported song type");
    check(std::make_unique<TSMRTDigitisedSong>(), "Unsupported song type");
    check(std::make_unique<TSMRTPolyphonicSong>(), "Unsupported song type");
    auto song = std::make_unique<TSMRTTemporarySong>();
    song->Patterns.push_back(std::make_unique<TSMRTPattern>());
    song->Patterns[0]->Instructions.push_back(std::make_unique<TOddInstruction>());
    check(std::move(song), "Ringing code encoding error");
}

TEST(RingingTone, RtttlFormatErrorsLeaveTheToneUntouched)
{
    TSMRingingTone tone;
    tone.SetRTTTL("Keep:d=4:c");
    const std::string before = tone.GetData();
    for (const char *text : {"", "abc", "a:b", "a:b:c:d"}) {
        EXPECT_EQ(errorOf([&] { tone.SetRTTTL(text); }), "Bad RTTTL format") << text;
        EXPECT_EQ(tone.GetData(), before);
    }
}

TEST(RingingTone, WhatTheExportWritesImportsAgain)
{
    // Every duration specifier (the double-dotted mark is a colon), with and without the octave
    // digit and the inline tempo and style, at the end of the text and before a comma.
    const struct {
        const char *title;
        std::vector<std::tuple<int, int, int, int>> notes; // scale, value, duration, specifier
        const char *rtttl;
    } rows[] = {
        {"Dots",
         {{1, 1, 2, 0}, {1, 3, 3, 1}, {1, 5, 1, 2}, {1, 6, 4, 3}},
         "Dots:o=5,d=4,b=63:c,8d.,2e:,16f;"},
        {"", {{2, 8, 2, 2}}, ":o=5,d=4,b=63:g6:"},
        {"Two", {{1, 12, 0, 2}, {0, 0, 5, 2}}, "Two:o=5,d=4,b=63:1h:,32p4:"},
        {"A:B", {{1, 1, 2, 2}}, "AB:o=5,d=4,b=63:c:"}, // a colon cannot stand in the name
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rtttl);
        auto song = std::make_unique<TSMRTBasicSong>();
        song->SetTitle(row.title);
        auto pattern = std::make_unique<TSMRTPattern>();
        for (const auto &[scale, value, duration, specifier] : row.notes) {
            pattern->Instructions.push_back(std::make_unique<TSMRTScale>(static_cast<uint8_t>(scale)));
            pattern->Instructions.push_back(std::make_unique<TSMRTNote>(static_cast<uint8_t>(value),
                                                                        static_cast<uint8_t>(duration),
                                                                        static_cast<uint8_t>(specifier)));
        }
        song->Patterns.push_back(std::move(pattern));
        TSMRingingTone tone;
        tone.Commands.push_back(toneCommand(std::move(song)));
        ASSERT_EQ(tone.RTTTL(), row.rtttl);

        TSMRingingTone imported;
        imported.SetRTTTL(tone.RTTTL());
        std::vector<std::tuple<int, int, int>> notes;
        for (const auto &in : songOf(imported).Patterns.at(0)->Instructions)
            if (const auto *n = dynamic_cast<const TSMRTNote *>(in.get()))
                notes.emplace_back(n->Value, n->Duration, n->DurationSpecifier);
        ASSERT_EQ(notes.size(), row.notes.size());
        for (size_t i = 0; i < notes.size(); ++i)
            EXPECT_EQ(notes[i], std::make_tuple(std::get<1>(row.notes[i]), std::get<2>(row.notes[i]),
                                                std::get<3>(row.notes[i])));
        EXPECT_EQ(imported.RTTTL(), row.rtttl);
    }
    // Inline tempo and style after a double-dotted note.
    TSMRingingTone tone;
    tone.SetRTTTL(":o=5,d=4,b=63:c,d:b=70s=c,e");
    EXPECT_EQ(describe(*songOf(tone).Patterns[0]), "S1 T8 N1/2/0 T9 Y1 N3/2/2 N5/2/0");
    EXPECT_EQ(tone.RTTTL(), ":o=5,d=4,b=63:c,d:b=70s=c,e");
}

TEST(RingingTone, ColonsThatMarkNoNoteAreStillRefused)
{
    TSMRingingTone tone;
    tone.SetRTTTL("Keep:d=4:c");
    const std::string before = tone.GetData();
    for (const char *text : {"a:b::c", "a:b:c,:d", "a:b:c :d", "a:b:c:d", "a:b:c:x=1"}) {
        EXPECT_EQ(errorOf([&] { tone.SetRTTTL(text); }), "Bad RTTTL format") << text;
        EXPECT_EQ(tone.GetData(), before);
    }
}

TEST(RingingTone, ExportSkipsWhatRtttlCannotName)
{
    auto song = std::make_unique<TSMRTTemporarySong>();
    auto pattern = std::make_unique<TSMRTPattern>();
    pattern->Instructions.push_back(std::make_unique<TSMRTVolume>(uint8_t(7)));
    pattern->Instructions.push_back(std::make_unique<TSMRTNote>(uint8_t(13), 0, 0));
    pattern->Instructions.push_back(std::make_unique<TSMRTStyle>(uint8_t(3)));
    pattern->Instructions.push_back(std::make_unique<TSMRTNote>(uint8_t(12), 0, 2));
    pattern->Instructions.push_back(std::make_unique<TSMRTStyle>(uint8_t(2)));
    pattern->Instructions.push_back(std::make_unique<TSMRTTempo>(uint8_t(31)));
    pattern->Instructions.push_back(std::make_unique<TSMRTScale>(uint8_t(0)));
    pattern->Instructions.push_back(std::make_unique<TSMRTNote>(uint8_t(0), 5, 3));
    pattern->Instructions.push_back(std::make_unique<TSMRTNote>(uint8_t(15), 1, 0));
    song->Patterns.push_back(std::move(pattern));
    TSMRingingTone tone;
    tone.Commands.push_back(toneCommand(std::move(song)));
    EXPECT_EQ(tone.RTTTL(), ":o=5,d=4,b=63:1h:,32p4;b=900s=s");
}

TEST(RingingTone, ReferenceTonesRoundTrip)
{
    for (const char *hex : {test::kRingtoneHex, test::kLongRingtoneHex}) {
        const std::string payload = Bytes(hex);
        TSMRingingTone tone;
        tone.SetData(payload);
        ASSERT_EQ(tone.Commands.size(), 1u);
        ASSERT_GE(tone.Commands[0]->Parts.size(), 2u);
        EXPECT_NE(dynamic_cast<const TSMRTBasicSong *>(tone.Commands[0]->Parts[1].get()), nullptr);
        // Our writer reproduces the received octets.
        EXPECT_EQ(tone.GetData(), payload);

        // Binary -> RTTTL -> binary is stable from the first export on.
        const QString first = tone.RTTTL();
        ASSERT_FALSE(first.isEmpty());
        TSMRingingTone imported;
        imported.SetRTTTL(first);
        EXPECT_EQ(imported.RTTTL(), first);
        const std::string binary = imported.GetData();
        TSMRingingTone again;
        again.SetData(binary);
        EXPECT_EQ(again.RTTTL(), first);
        TSMRingingTone twice;
        twice.SetRTTTL(again.RTTTL());
        EXPECT_EQ(twice.GetData(), binary);
    }
}

TEST(RingingTone, TempoAndStyleChangesDoNotDriftOnRoundTrips)
{
    const QString text = ":o=5,d=4,b=63:c,d.b=70s=c,e,f6s=n";
    TSMRingingTone tone;
    tone.SetRTTTL(text);
    EXPECT_EQ(describe(*songOf(tone).Patterns[0]), "S1 T8 N1/2/0 T9 Y1 N3/2/1 N5/2/0 Y0 S2 N6/2/0");
    EXPECT_EQ(tone.RTTTL(), text);
}

} // namespace
} // namespace kestrel
