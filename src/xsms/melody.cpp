#include "xsms/melody.h"

#include "xsms/ems.h"
#include "xsms/ringtone.h"

#include <QHash>

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

} // namespace kestrel
