#include "xsms/melody.h"

#include "xsms/ems.h"
#include "xsms/ringtone.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrel {

int TMelodyRow::Column(int c) const
{
    const int values[kColumns] = {Scale, Note, Duration, Duration2, Tempo, Style, Volume};
    return c >= 0 && c < kColumns ? values[c] : 0;
}

void TMelodyRow::SetColumn(int c, int value)
{
    int *fields[kColumns] = {&Scale, &Note, &Duration, &Duration2, &Tempo, &Style, &Volume};
    if (c >= 0 && c < kColumns)
        *fields[c] = value;
}

namespace {

uint8_t u8(int v)
{
    return static_cast<uint8_t>(v);
}

} // namespace

void BuildRingingTone(TSMRingingTone &tone, const TMelody &melody)
{
    auto command = std::make_unique<TSMRTCommand>();
    command->Parts.push_back(std::make_unique<TSMRTRingingTone>());
    std::unique_ptr<TSMRTTemporarySong> song;
    const QString title = melody.Name.trimmed();
    if (title.isEmpty()) {
        song = std::make_unique<TSMRTTemporarySong>();
    } else {
        auto basic = std::make_unique<TSMRTBasicSong>();
        basic->SetTitle(melody.Name);
        song = std::move(basic);
    }
    auto pattern = std::make_unique<TSMRTPattern>();
    TMelodyRow previous;
    for (const TMelodyRow &row : melody.Rows) {
        auto &out = pattern->Instructions;
        if (row.Scale != previous.Scale)
            out.push_back(std::make_unique<TSMRTScale>(u8(row.Scale)));
        if (row.Tempo != previous.Tempo)
            out.push_back(std::make_unique<TSMRTTempo>(u8(row.Tempo)));
        if (row.Volume != previous.Volume)
            out.push_back(std::make_unique<TSMRTVolume>(u8(row.Volume)));
        if (row.Style != previous.Style)
            out.push_back(std::make_unique<TSMRTStyle>(u8(row.Style)));
        out.push_back(std::make_unique<TSMRTNote>(u8(row.Note), u8(row.Duration), u8(row.Duration2)));
        previous = row;
    }
    song->Patterns.push_back(std::move(pattern));
    command->Parts.push_back(std::move(song));
    tone.Commands.push_back(std::move(command));
}

QString IMelodyText(const std::vector<TMelodyRow> &rows)
{
    static const char *const kNotes[] = {"c", "#c", "d", "#d", "e", "f", "#f", "g", "#g", "a", "#a", "b"};
    static const char *const kSpecifiers[] = {"", ".", ":", ";"};
    QString text;
    TMelodyRow previous;
    for (const TMelodyRow &row : rows) {
        if (row.Volume != previous.Volume)
            text += "V" + QString::number(row.Volume);
        if (row.Note == 0) {
            text += "r";
        } else {
            if (row.Scale != previous.Scale)
                text += "*" + QString::number(row.Scale + 3);
            if (row.Note >= 1 && row.Note <= 12)
                text += kNotes[row.Note - 1];
        }
        text += QString::number(row.Duration);
        if (row.Duration2 >= 0 && row.Duration2 <= 3)
            text += kSpecifiers[row.Duration2];
        previous = row;
    }
    return text;
}

void BuildIMelody(TEMSSoundUserDef &sound, const TMelody &melody)
{
    sound.Records.SetValues("NAME", melody.Name.toLatin1().toStdString());
    if (!melody.Rows.empty()) {
        const TMelodyRow &first = melody.Rows.front();
        sound.Records.SetValues("STYLE", "S" + std::to_string(first.Style));
        sound.Records.SetValues("BEAT", std::to_string(TSMRTTempo::ToBPM(first.Tempo)));
    }
    sound.Records.SetValues("MELODY", IMelodyText(melody.Rows).toStdString());
}

TMelody MelodyFromRingingTone(const TSMRingingTone &tone)
{
    TMelody melody;
    const TSMRTTemporarySong *song = nullptr;
    if (!tone.Commands.empty())
        for (const auto &part : tone.Commands.front()->Parts)
            if ((song = dynamic_cast<const TSMRTTemporarySong *>(part.get())))
                break;
    if (!song)
        return melody;
    if (auto *basic = dynamic_cast<const TSMRTBasicSong *>(song))
        melody.Name = basic->Title();
    if (song->Patterns.empty())
        return melody;
    TMelodyRow pending;
    for (const auto &instruction : song->Patterns.front()->Instructions) {
        if (auto *scale = dynamic_cast<const TSMRTScale *>(instruction.get()))
            pending.Scale = scale->Value;
        else if (auto *tempo = dynamic_cast<const TSMRTTempo *>(instruction.get()))
            pending.Tempo = tempo->Value;
        else if (auto *style = dynamic_cast<const TSMRTStyle *>(instruction.get()))
            pending.Style = style->Value;
        else if (auto *note = dynamic_cast<const TSMRTNote *>(instruction.get())) {
            pending.Note = note->Value;
            pending.Duration = note->Duration;
            pending.Duration2 = note->DurationSpecifier;
            melody.Rows.push_back(pending);
        }
    }
    return melody;
}

namespace {

// iMelody 1.2: "*" octave, "&" flat, "#" sharp, c d e f g a b, "r" rest, duration 0 (whole) to 5,
// specifier "." ":" ";", "V" volume, "(" ... "@" count ")" repeat.
class TIMelodyReader {
public:
    TIMelodyReader(const std::string &text, TMelodyRow start) : m_text(text), m_row(start) {}

    std::vector<TMelodyRow> Read()
    {
        while (m_pos < m_text.size() && m_rows.size() < static_cast<size_t>(kMaxIMelodyRows)) {
            const char c = m_text[m_pos];
            if (skipSwitch())
                continue;
            if (c == '*') {
                ++m_pos;
                if (m_pos < m_text.size() && isDigit(m_text[m_pos]))
                    m_octave = m_text[m_pos++] - '0';
            } else if (c == '&' || c == '#') {
                ++m_pos;
                if (m_pos < m_text.size())
                    note(m_text[m_pos++], c == '#' ? 1 : -1);
            } else if (c == 'r') {
                ++m_pos;
                rest();
            } else if (c == 'V') {
                ++m_pos;
                volume();
            } else if (c == '(') {
                ++m_pos;
                m_repeatStart = static_cast<int>(m_rows.size());
                m_repeatCount = 1;
            } else if (c == '@') {
                ++m_pos;
                m_repeatCount = number();
            } else if (c == ')') {
                ++m_pos;
                unrollRepeat();
            } else if (isNote(c)) {
                ++m_pos;
                note(c, 0);
            } else {
                ++m_pos; // anything unknown
            }
        }
        if (m_rows.size() > static_cast<size_t>(kMaxIMelodyRows))
            m_rows.resize(kMaxIMelodyRows);
        return std::move(m_rows);
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    // LED, vibration and backlight switches, whose letters would otherwise read as notes.
    bool skipSwitch()
    {
        static const char *const kSwitches[] = {"ledoff", "ledon", "vibeoff", "vibeon", "backoff", "backon"};
        for (const char *s : kSwitches)
            if (m_text.compare(m_pos, std::strlen(s), s) == 0) {
                m_pos += std::strlen(s);
                return true;
            }
        return false;
    }
    static bool isNote(char c) { return c >= 'a' && c <= 'g'; }

    int number()
    {
        int v = 0;
        size_t digits = 0;
        while (m_pos < m_text.size() && isDigit(m_text[m_pos]) && digits++ < 4)
            v = v * 10 + (m_text[m_pos++] - '0');
        return v;
    }
    void note(char letter, int shift)
    {
        // Semitones of c d e f g a b from c; the row's notes are 1 (c) to 12 (b).
        static const int kSemitone[] = {9, 11, 0, 2, 4, 5, 7}; // a b c d e f g
        if (!isNote(letter))
            return;
        int semitone = kSemitone[letter - 'a'] + shift;
        int octave = m_octave;
        if (semitone < 0) {
            semitone += 12;
            --octave;
        } else if (semitone > 11) {
            semitone -= 12;
            ++octave;
        }
        // Octave 4 is the table's scale 1; the table has scales 0 to 3.
        m_row.Scale = std::clamp(octave - 3, 0, 3);
        m_row.Note = semitone + 1;
        duration();
    }
    void rest()
    {
        m_row.Note = 0;
        duration();
    }
    void duration()
    {
        m_row.Duration = 2;
        if (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '5')
            m_row.Duration = m_text[m_pos++] - '0';
        m_row.Duration2 = 0;
        if (m_pos < m_text.size()) {
            const char s = m_text[m_pos];
            m_row.Duration2 = s == '.' ? 1 : s == ':' ? 2 : s == ';' ? 3 : 0;
            if (m_row.Duration2 != 0)
                ++m_pos;
        }
        m_rows.push_back(m_row);
    }
    void volume()
    {
        if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
            m_row.Volume = std::clamp(m_row.Volume + (m_text[m_pos] == '+' ? 1 : -1), 0, 15);
            ++m_pos;
        } else if (m_pos < m_text.size() && isDigit(m_text[m_pos])) {
            m_row.Volume = std::clamp(number(), 0, 15);
        }
    }
    void unrollRepeat()
    {
        if (m_repeatStart < 0)
            return;
        // "@0" repeats for ever on a handset; shown and played, it sounds twice.
        const int times = m_repeatCount <= 0 ? 2 : m_repeatCount;
        const std::vector<TMelodyRow> body(m_rows.begin() + m_repeatStart, m_rows.end());
        for (int i = 1; i < times && !body.empty() && m_rows.size() < static_cast<size_t>(kMaxIMelodyRows);
             ++i)
            m_rows.insert(m_rows.end(), body.begin(), body.end());
        m_repeatStart = -1;
    }

    const std::string &m_text;
    size_t m_pos = 0;
    TMelodyRow m_row;
    int m_octave = 4;
    int m_repeatStart = -1;
    int m_repeatCount = 1;
    std::vector<TMelodyRow> m_rows;
};

} // namespace

TMelody MelodyFromIMelody(const TEMSSoundUserDef &sound)
{
    const TDirectoryRecords &records = sound.Records;
    TMelody melody;
    melody.Name = QString::fromLatin1(records.Values("NAME"));
    TMelodyRow start;
    bool ok = false;
    // iMelody's default beat is 120 per minute.
    const int beat = QString::fromStdString(records.Values("BEAT")).trimmed().toInt(&ok);
    start.Tempo = TSMRTTempo::FromBPM(ok && beat > 0 ? beat : 120);
    const std::string style = records.Values("STYLE");
    if (style.size() == 2 && (style[0] == 'S' || style[0] == 's') && style[1] >= '0' && style[1] <= '2')
        start.Style = style[1] - '0';
    const std::string volume = records.Values("VOLUME");
    if (volume.size() >= 2 && (volume[0] == 'V' || volume[0] == 'v')) {
        const int v = QString::fromStdString(volume.substr(1)).toInt(&ok);
        if (ok)
            start.Volume = std::clamp(v, 0, 15);
    }
    melody.Rows = TIMelodyReader(records.Values("MELODY"), start).Read();
    return melody;
}

TMelody ReadMelodyFile(const QStringList &lines)
{
    QHash<QString, QString> values;
    for (const QString &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0 && !values.contains(line.left(eq)))
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    auto number = [&](const QString &key) {
        bool ok = false;
        const int v = values.value(key).trimmed().toInt(&ok);
        return ok ? v : 0;
    };
    const int count = number("Count");
    if (count <= 0 && lines.size() == 1) {
        TSMRingingTone tone;
        tone.SetRTTTL(lines.front());
        return MelodyFromRingingTone(tone);
    }
    TMelody melody;
    melody.Name = values.value("Name");
    // A melody file is typed by people; a Count in the millions is not trusted with memory.
    constexpr int kMaxRows = 65536;
    const int rows = std::min(count, kMaxRows);
    for (int r = 0; r < rows; ++r) {
        TMelodyRow row;
        for (int c = 0; c < TMelodyRow::kColumns; ++c)
            row.SetColumn(c, number(QString("%1.%2").arg(r).arg(c)));
        melody.Rows.push_back(row);
    }
    return melody;
}

QStringList WriteMelodyFile(const TMelody &melody)
{
    QStringList lines = {"Name=" + melody.Name, "Count=" + QString::number(melody.Rows.size())};
    for (size_t r = 0; r < melody.Rows.size(); ++r)
        for (int c = 0; c < TMelodyRow::kColumns; ++c)
            lines << QString("%1.%2=%3").arg(r).arg(c).arg(melody.Rows[r].Column(c));
    return lines;
}

int NoteDurationMs(const TMelodyRow &row)
{
    const int bpm = std::max(1, TSMRTTempo::ToBPM(row.Tempo));
    double ms = 4 * 60000.0 / bpm / (1 << std::clamp(row.Duration, 0, 5));
    static const double kSpecifier[] = {1.0, 1.5, 1.75, 2.0 / 3.0};
    ms *= kSpecifier[std::clamp(row.Duration2, 0, 3)];
    return static_cast<int>(std::lround(ms));
}

double NoteFrequency(int scale, int note)
{
    if (note < 1 || note > 12)
        return 0;
    // Note 10 is a; each scale doubles it.
    return 440.0 * std::pow(2.0, std::clamp(scale, 0, 3)) * std::pow(2.0, (note - 10) / 12.0);
}

} // namespace kestrel
