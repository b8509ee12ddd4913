// RTTTL text (name:defaults:notes) to and from the ringing-tone object tree.
#include "xsms/ringtone.h"

#include "base/convert.h"
#include "gsm/gsmerror.h"

#include <QStringList>

namespace kestrel {

namespace {

// The melody being built from RTTTL text.
struct TRTTTLImport {
    TSMRTPattern *pattern;
    int defaultDuration = 4;
    uint8_t defaultScale = 1;
    uint8_t currentScale = 1;

    template <class T, class... Args>
    void append(Args... args)
    {
        pattern->Instructions.push_back(std::make_unique<T>(args...));
    }

    // Value of a setting, with the runtime's integer rules; -1 when the text is not a number.
    static int number(const QString &text) { return StrToIntDef(text.toStdString(), -1); }

    // One default setting: o=, d=, b= or s= (the "=" may be left out).
    void parseDefault(QString token)
    {
        token = token.trimmed();
        if (token.isEmpty())
            return;
        if (token.size() >= 2 && token[1] == QLatin1Char('='))
            token.remove(1, 1);
        const int value = number(token.mid(1));
        switch (token[0].toUpper().unicode()) {
        case 'O':
            if (value >= 4 && value <= 7) {
                defaultScale = currentScale = static_cast<uint8_t>(value - 4);
                append<TSMRTScale>(defaultScale);
            }
            break;
        case 'D':
            if (value == 1 || value == 2 || value == 4 || value == 8 || value == 16 || value == 32)
                defaultDuration = value;
            break;
        case 'B':
            if (value > 0)
                append<TSMRTTempo>(TSMRTTempo::FromBPM(value));
            break;
        case 'S':
            if (token.size() >= 2) {
                switch (token[1].toUpper().unicode()) {
                case 'N':
                    append<TSMRTStyle>(uint8_t(0));
                    break;
                case 'C':
                    append<TSMRTStyle>(uint8_t(1));
                    break;
                case 'S':
                    append<TSMRTStyle>(uint8_t(2));
                    break;
                default:
                    break;
                }
            }
            break;
        default:
            break;
        }
    }

    static uint8_t durationCode(long long duration)
    {
        switch (duration) {
        case 1:
            return 0;
        case 2:
            return 1;
        case 4:
            return 2;
        case 8:
            return 3;
        case 16:
            return 4;
        case 32:
            return 5;
        default:
            return 2;
        }
    }

    // Settings written right after a note ("8d#6.b=70s=c"): split at commas and where a letter
    // follows a digit, since the export writes tempo and style back to back.
    static QStringList inlineSettings(const QString &rest)
    {
        QStringList out;
        for (const QString &piece : rest.split(QLatin1Char(','))) {
            QString current;
            for (int i = 0; i < piece.size(); ++i) {
                if (i > 0 && piece[i].isLetter() && piece[i - 1].isDigit()) {
                    out << current;
                    current.clear();
                }
                current += piece[i];
            }
            out << current;
        }
        return out;
    }

    void parseNote(QString token)
    {
        token = token.trimmed();
        int i = 0;
        long long duration = 0;
        bool digits = false;
        while (i < token.size() && token[i].isDigit() && token[i].unicode() < 128) {
            duration = std::min<long long>(duration * 10 + (token[i].unicode() - '0'), 1000000);
            digits = true;
            ++i;
        }
        if (i >= token.size())
            return; // digits only, or nothing
        if (!digits)
            duration = defaultDuration;

        int value = -1;
        const char16_t letter = token[i].toUpper().unicode();
        ++i;
        const bool sharp = i < token.size() && token[i] == QLatin1Char('#');
        if (sharp)
            ++i;
        switch (letter) {
        case 'P':
            value = 0;
            break;
        case 'C':
            value = 1 + sharp;
            break;
        case 'D':
            value = 3 + sharp;
            break;
        case 'E':
            value = 5;
            break;
        case 'F':
            value = 6 + sharp;
            break;
        case 'G':
            value = 8 + sharp;
            break;
        case 'A':
            value = 10 + sharp;
            break;
        case 'B':
        case 'H':
            value = 12;
            break;
        default:
            break;
        }

        uint8_t scale = defaultScale;
        uint8_t specifier = 0;
        for (; i < token.size(); ++i) {
            const char16_t c = token[i].unicode();
            if (c >= '4' && c <= '7')
                scale = static_cast<uint8_t>(c - '4');
            else if (c == '.')
                specifier = 1;
            else if (c == ':')
                specifier = 2;
            else if (c == ';')
                specifier = 3;
            else if (!(c >= '0' && c <= '9'))
                break;
        }

        // A tempo or style written after a note is the one that note is played with, so it goes
        // in front of the note: the export writes b= and s= after the first note they apply to,
        // and reading them back behind it would move every change one note later on each pass.
        for (const QString &setting : inlineSettings(token.mid(i)))
            parseDefault(setting);

        if (value < 0)
            return;
        if (scale != currentScale) {
            append<TSMRTScale>(scale);
            currentScale = scale;
        }
        append<TSMRTNote>(static_cast<uint8_t>(value), durationCode(duration), specifier);
    }
};

} // namespace

namespace {

// A colon in the notes is the double-dotted mark of a note as the export writes it: after the note
// and before the note's end (a comma, a blank, the end of the text) or its inline b= or s=. Any
// other colon would begin a fourth section.
bool isDoubleDot(const QString &notes, qsizetype i)
{
    if (i == 0 || notes[i - 1] == QLatin1Char(',') || notes[i - 1].isSpace())
        return false;
    if (i + 1 == notes.size())
        return true;
    const char16_t next = notes[i + 1].toLower().unicode();
    return next == ',' || notes[i + 1].isSpace() || next == 'b' || next == 's';
}

} // namespace

void TSMRingingTone::SetRTTTL(const QString &text)
{
    // Name and defaults end at the first two colons; the notes may hold double-dotted marks.
    const qsizetype first = text.indexOf(QLatin1Char(':'));
    const qsizetype second = first < 0 ? -1 : text.indexOf(QLatin1Char(':'), first + 1);
    if (second < 0)
        throw EGSMError("Bad RTTTL format");
    const QStringList sections = {text.left(first), text.mid(first + 1, second - first - 1),
                                  text.mid(second + 1)};
    for (qsizetype i = 0; i < sections[2].size(); ++i)
        if (sections[2][i] == QLatin1Char(':') && !isDoubleDot(sections[2], i))
            throw EGSMError("Bad RTTTL format");

    Commands.clear();
    auto command = std::make_unique<TSMRTCommand>();
    command->Parts.push_back(std::make_unique<TSMRTRingingTone>());
    std::unique_ptr<TSMRTTemporarySong> song;
    if (sections[0].trimmed().isEmpty()) {
        song = std::make_unique<TSMRTTemporarySong>();
    } else {
        auto basic = std::make_unique<TSMRTBasicSong>();
        basic->SetTitle(sections[0]);
        song = std::move(basic);
    }
    song->Patterns.push_back(std::make_unique<TSMRTPattern>());
    TRTTTLImport import{song->Patterns.back().get()};
    command->Parts.push_back(std::move(song));
    Commands.push_back(std::move(command));

    for (const QString &token : sections[1].split(QLatin1Char(',')))
        import.parseDefault(token);
    for (const QString &token : sections[2].split(QLatin1Char(',')))
        import.parseNote(token);
}

QString RTTTLNote(int Value, int Duration, int Scale, int Specifier)
{
    static const char *const names[13] = {"p",  "c", "c#", "d", "d#", "e", "f",
                                          "f#", "g", "g#", "a", "a#", "h"};
    QString out;
    if (Value < 0 || Value > 12)
        return out;
    if (Duration != 2 && Duration >= 0 && Duration <= 7)
        out += QString::number(1 << Duration);
    out += QLatin1String(names[Value]);
    if (Scale != 1)
        out += QString::number(Scale + 4);
    if (Specifier >= 1 && Specifier <= 3)
        out += QLatin1Char(".:;"[Specifier - 1]);
    return out;
}

QString TSMRingingTone::RTTTL() const
{
    if (Commands.empty() || !Commands[0] || Commands[0]->Parts.size() < 2 ||
        !dynamic_cast<const TSMRTRingingTone *>(Commands[0]->Parts[0].get()))
        return QString();
    const auto *song = dynamic_cast<const TSMRTTemporarySong *>(Commands[0]->Parts[1].get());
    if (!song)
        return QString();

    QString out;
    // A colon ends the name in RTTTL: a title cannot carry one.
    if (const auto *basic = dynamic_cast<const TSMRTBasicSong *>(song))
        out = QString(basic->Title()).remove(QLatin1Char(':'));
    out += QLatin1Char(':');
    if (song->Patterns.empty() || !song->Patterns[0])
        return out;
    // Fixed defaults: scale 1, duration code 2, tempo code 8.
    out += QStringLiteral("o=5,d=4,b=63:");

    static const char styles[3] = {'n', 'c', 's'};
    int scale = 1, tempo = 8, style = 0;
    int writtenTempo = 8, writtenStyle = 0;
    for (const auto &in : song->Patterns[0]->Instructions) {
        if (const auto *s = dynamic_cast<const TSMRTScale *>(in.get())) {
            scale = s->Value & 3;
        } else if (const auto *t = dynamic_cast<const TSMRTTempo *>(in.get())) {
            tempo = t->Value;
        } else if (const auto *st = dynamic_cast<const TSMRTStyle *>(in.get())) {
            // Style 3 has no RTTTL name: the instruction writes nothing and changes nothing.
            if (st->Value <= 2)
                style = st->Value;
        } else if (const auto *n = dynamic_cast<const TSMRTNote *>(in.get())) {
            // Note values 13 to 15 have no RTTTL name: such a note writes nothing.
            if (n->Value > 12)
                continue;
            out += RTTTLNote(n->Value, n->Duration & 7, scale, n->DurationSpecifier); // 3 bits on the wire
            if (tempo != writtenTempo) {
                out += QStringLiteral("b=") + QString::number(TSMRTTempo::ToBPM(tempo));
                writtenTempo = tempo;
            }
            if (style != writtenStyle) {
                out += QStringLiteral("s=") + QLatin1Char(styles[style]);
                writtenStyle = style;
            }
            out += QLatin1Char(',');
        }
        // Volume is not part of RTTTL.
    }
    if (out.endsWith(QLatin1Char(',')))
        out.chop(1);
    return out;
}

} // namespace kestrel
