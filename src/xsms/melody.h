// The melody table the note editor fills, and what the send flow makes of it: a smart messaging
// ringing tone (BuildRingingTone) or the records of an EMS iMelody (BuildIMelody). A row holds the
// item index of each of the seven columns; the header row's defaults are those of a new row. The
// table's own file format (Name, Count, "row.column" keys) and one-line RTTTL files load into it.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace kestrel {

class TSMRingingTone;
class TEMSSoundUserDef;

struct TMelodyRow {
    int Scale = 1;     // octave items "1" to "4"
    int Note = 0;      // 0 pause, 1 C, 2 Cis ... 12 H
    int Duration = 0;  // 0 full ... 5 1/32
    int Duration2 = 0; // 0 none, 1 dotted, 2 double dotted, 3 2/3 length
    int Tempo = 8;     // index of the tempo items (25 ... 900 beats per minute); 8 is 63
    int Style = 0;     // 0 natural, 1 continuous, 2 staccato
    int Volume = 7;    // 0 off, 1 to 15

    static constexpr int kColumns = 7;
    int Column(int c) const;
    void SetColumn(int c, int value);
    bool operator==(const TMelodyRow &) const = default;
};

struct TMelody {
    QString Name;
    std::vector<TMelodyRow> Rows; // the data rows, without the header row
};

// Appends one command (ringing tone part and song) to the tone: a temporary song without a name,
// else a basic song titled Name; one pattern whose instructions change scale, tempo, volume and
// style only where a row differs from the one before (the header row before the first).
void BuildRingingTone(TSMRingingTone &tone, const TMelody &melody);
// Sets NAME, STYLE, BEAT and MELODY of the sound's records.
void BuildIMelody(TEMSSoundUserDef &sound, const TMelody &melody);
// The MELODY text of the rows alone ("*5c2" for octave 2, C, a quarter).
QString IMelodyText(const std::vector<TMelodyRow> &rows);

// Reads a melody file's lines: one RTTTL line when there is no Count (or Count is 0) and the file
// has exactly one line, else the table's own format (missing or non-numeric values read as 0).
// Raises EGSMError "Bad RTTTL format" for an RTTTL line that TSMRingingTone::SetRTTTL refuses.
TMelody ReadMelodyFile(const QStringList &lines);
QStringList WriteMelodyFile(const TMelody &melody);
// The table of the first pattern of a ringing tone, as the editor loads an RTTTL file.
TMelody MelodyFromRingingTone(const TSMRingingTone &tone);
// The table of an EMS iMelody (NAME, BEAT, STYLE, VOLUME and the MELODY text): notes and rests
// with their octave, duration and specifier; repeats unrolled; volume changes kept; LED, vibration
// and backlight switches skipped. Any text is accepted: what is not understood is passed over, and
// no more than kMaxIMelodyRows rows are made, however often a repeat asks to be played.
TMelody MelodyFromIMelody(const TEMSSoundUserDef &sound);
constexpr int kMaxIMelodyRows = 2048;
// The longest stretch of a melody that is played (a hostile melody may announce hours).
constexpr int kMaxMelodyMs = 60000;

// Length of a row's note in milliseconds: a whole note is four beats of its tempo, halved for each
// duration step; dotted x1.5, double dotted x1.75, triplet x2/3.
int NoteDurationMs(const TMelodyRow &row);
// Frequency of a note (1 c ... 12 h) of a scale (0 to 3: a = 440, 880, 1760, 3520 Hz); 0 for a rest.
double NoteFrequency(int scale, int note);

} // namespace kestrel
