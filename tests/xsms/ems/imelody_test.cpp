#include "xsms/ems.h"
#include "xsms/melody.h"
#include "xsms/ringtone.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TMelody melodyOf(const std::string &melody, const std::string &beat = "", const std::string &style = "")
{
    TEMSSoundUserDef s;
    s.Records.SetValues("NAME", "Tune");
    s.Records.SetValues("BEAT", beat);
    s.Records.SetValues("STYLE", style);
    s.Records.SetValues("MELODY", melody);
    return MelodyFromIMelody(s);
}

struct TIMelodyCase {
    const char *melody;
    std::vector<TMelodyRow> rows; // Scale, Note, Duration, Duration2, Tempo, Style, Volume
};

// Rows at iMelody's default beat of 120 (tempo code 14: 125 per minute, the nearest above).
TMelodyRow row(int scale, int note, int duration, int duration2 = 0, int volume = 7)
{
    return TMelodyRow{scale, note, duration, duration2, 14, 0, volume};
}

TEST(IMelody, NotesOctavesRestsAndSpecifiers)
{
    const TIMelodyCase cases[] = {
        {"c2e2g2", {row(1, 1, 2), row(1, 5, 2), row(1, 8, 2)}},
        // *5 is the scale above the default octave 4; *3 the one below.
        {"*5c1*3b0", {row(2, 1, 1), row(0, 12, 0)}},
        {"#c3&e3", {row(1, 2, 3), row(1, 4, 3)}},
        // A flat c is the b below; a sharp b the c above.
        {"&c2#b2", {row(0, 12, 2), row(2, 1, 2)}},
        {"r4c2.d2:e2;", {row(1, 0, 4), row(1, 1, 2, 1), row(1, 3, 2, 2), row(1, 5, 2, 3)}},
        {"V3c2V+d2V-V-e2", {row(1, 1, 2, 0, 3), row(1, 3, 2, 0, 4), row(1, 5, 2, 0, 2)}},
        // Switches of the handset's lights and vibration are no notes.
        {"ledonc2vibeoffd2backone2", {row(1, 1, 2), row(1, 3, 2), row(1, 5, 2)}},
        {"(c2d2@2)e2", {row(1, 1, 2), row(1, 3, 2), row(1, 1, 2), row(1, 3, 2), row(1, 5, 2)}},
        // A note without a duration is a quarter; octaves beyond the table stay at its ends.
        {"c*9d*0e", {row(1, 1, 2), row(3, 3, 2), row(0, 5, 2)}},
        {"", {}},
        {"xyz!", {}},
    };
    for (const auto &c : cases) {
        const TMelody m = melodyOf(c.melody);
        EXPECT_EQ(m.Name, "Tune");
        ASSERT_EQ(m.Rows.size(), c.rows.size()) << c.melody;
        for (size_t i = 0; i < c.rows.size(); ++i)
            EXPECT_TRUE(m.Rows[i] == c.rows[i])
                << c.melody << " row " << i << ": " << m.Rows[i].Scale << "," << m.Rows[i].Note << ","
                << m.Rows[i].Duration << "," << m.Rows[i].Duration2 << "," << m.Rows[i].Volume;
    }
}

TEST(IMelody, BeatAndStyleApplyToEveryRow)
{
    const TMelody m = melodyOf("c2d2", "63", "S2");
    ASSERT_EQ(m.Rows.size(), 2u);
    for (const auto &r : m.Rows) {
        EXPECT_EQ(TSMRTTempo::ToBPM(r.Tempo), 63);
        EXPECT_EQ(r.Style, 2);
    }
}

// What the editor writes is read back as the same table.
TEST(IMelody, EditorMelodyRoundTrips)
{
    TMelody written;
    written.Name = "Scale";
    for (int n : {1, 3, 5, 6, 8, 0})
        written.Rows.push_back(TMelodyRow{1, n, 3, 0, 8, 1, 7});
    written.Rows.push_back(TMelodyRow{2, 1, 1, 1, 8, 1, 7});
    TEMSSoundUserDef s;
    BuildIMelody(s, written);
    TEMSSoundUserDef parsed;
    parsed.SetData(s.GetData());
    const TMelody read = MelodyFromIMelody(parsed);
    EXPECT_EQ(read.Name, written.Name);
    ASSERT_EQ(read.Rows.size(), written.Rows.size());
    for (size_t i = 0; i < read.Rows.size(); ++i)
        EXPECT_TRUE(read.Rows[i] == written.Rows[i]) << i;
}

// A repeat that asks for thousands of rounds, or a melody of endless notes, stays bounded.
TEST(IMelody, HostileRepeatsAreBounded)
{
    std::string endless(100000, 'c');
    EXPECT_EQ(melodyOf(endless).Rows.size(), size_t(kMaxIMelodyRows));
    EXPECT_LE(melodyOf("(c1d1e1f1g1a1b1@9999)").Rows.size(), size_t(2 * kMaxIMelodyRows));
    EXPECT_EQ(melodyOf("(c1@0)").Rows.size(), 2u);
    EXPECT_EQ(melodyOf("c1)@)(").Rows.size(), 1u);
}

} // namespace
