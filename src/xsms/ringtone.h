// Ringing tones in the bit-packed smart messaging tone language: a tree of commands, command
// parts, songs, patterns and instructions, each reading and writing itself through a TBitStream.
#pragma once

#include "xsms/bitstream.h"
#include "xsms/smartmessage.h"

#include <QString>

#include <memory>
#include <vector>

namespace kestrel {

// One part of a command. The base reads and writes nothing.
class TSMRTCommandPart {
public:
    virtual ~TSMRTCommandPart() = default;
    virtual void Read(TBitStream &) {}
    virtual void Write(TBitStream &) const {}
    virtual const char *ClassName() const { return "TSMRTCommandPart"; }
    // Reads the 7-bit part code and the part; raises "Bad ringing tone format" for unknown codes.
    static std::unique_ptr<TSMRTCommandPart> ReadPart(TBitStream &stream);
};

constexpr uint8_t kRTPartCancel = 5;
constexpr uint8_t kRTPartSound = 29;
constexpr uint8_t kRTPartUnicode = 34;
constexpr uint8_t kRTPartRingingTone = 37;

// Cancels the command part of code Value; cancelling the unicode part returns titles to 8 bits.
class TSMRTCancel : public TSMRTCommandPart {
public:
    uint8_t Value = 0;
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
    const char *ClassName() const override { return "TSMRTCancel"; }
};

// Song titles that follow are 16-bit characters.
class TSMRTUnicode : public TSMRTCommandPart {
public:
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
    const char *ClassName() const override { return "TSMRTUnicode"; }
};

// The ringing-tone programming part.
class TSMRTRingingTone : public TSMRTCommandPart {
public:
    const char *ClassName() const override { return "TSMRTRingingTone"; }
};

// A sound part: always one of the song classes below.
class TSMRTSound : public TSMRTCommandPart {
public:
    // Writes the song type; a sound of no song class raises "Ringing code encoding error".
    void Write(TBitStream &stream) const override { WriteSongType(stream); }
    const char *ClassName() const override { return "TSMRTSound"; }
    void WriteSongType(TBitStream &stream) const;
    // Reads the 3-bit song type and the song; types 0, 6 and 7 raise "Bad ringing tone format".
    static std::unique_ptr<TSMRTSound> ReadSound(TBitStream &stream);
};

class TSMRTInstruction;

// A pattern of instructions with its id (2 bits) and loop value (4 bits).
class TSMRTPattern {
public:
    std::vector<std::unique_ptr<TSMRTInstruction>> Instructions;
    uint8_t PatternId = 0;
    uint8_t LoopValue = 0;
    void Read(TBitStream &stream);
    // Writes at most the first 255 instructions, the most the 8-bit count can announce.
    void Write(TBitStream &stream) const;
};

// A song of patterns without a title.
class TSMRTTemporarySong : public TSMRTSound {
public:
    std::vector<std::unique_ptr<TSMRTPattern>> Patterns;
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
    const char *ClassName() const override { return "TSMRTTemporarySong"; }

protected:
    void readPatterns(TBitStream &stream);
    void writePatterns(TBitStream &stream) const;
};

// A song with a title of at most 15 characters.
class TSMRTBasicSong : public TSMRTTemporarySong {
public:
    const QString &Title() const { return m_title; }
    void SetTitle(const QString &value) { m_title = value.left(15); }
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
    const char *ClassName() const override { return "TSMRTBasicSong"; }

private:
    QString m_title;
};

// Song types this system cannot read or write: "Unsupported song type".
class TSMRTUnsupportedSong : public TSMRTSound {
public:
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
};
class TSMRTMidiSong : public TSMRTUnsupportedSong {
public:
    const char *ClassName() const override { return "TSMRTMidiSong"; }
};
class TSMRTDigitisedSong : public TSMRTUnsupportedSong {
public:
    const char *ClassName() const override { return "TSMRTDigitisedSong"; }
};
class TSMRTPolyphonicSong : public TSMRTUnsupportedSong {
public:
    const char *ClassName() const override { return "TSMRTPolyphonicSong"; }
};

// An instruction of a pattern; the 3-bit id is written by the pattern, the fields by the class.
class TSMRTInstruction {
public:
    virtual ~TSMRTInstruction() = default;
    virtual void Read(TBitStream &stream) = 0;
    virtual void Write(TBitStream &stream) const = 0;
    virtual const char *ClassName() const = 0;
    // Reads the 3-bit id and the instruction; ids 0, 6 and 7 raise "Bad ringing tone format".
    static std::unique_ptr<TSMRTInstruction> ReadInstruction(TBitStream &stream);
};

// Value 0 pause, 1 c ... 12 h; Duration 0 whole ... 5 thirty-second; DurationSpecifier 0 none,
// 1 dotted, 2 double dotted, 3 two-thirds length.
class TSMRTNote : public TSMRTInstruction {
public:
    TSMRTNote() = default;
    TSMRTNote(uint8_t value, uint8_t duration, uint8_t specifier)
        : Value(value), Duration(duration), DurationSpecifier(specifier)
    {
    }
    uint8_t Value = 0;
    uint8_t Duration = 0;
    uint8_t DurationSpecifier = 0;
    void Read(TBitStream &stream) override;
    void Write(TBitStream &stream) const override;
    const char *ClassName() const override { return "TSMRTNote"; }
};

// An instruction with one field of a fixed width.
class TSMRTValueInstruction : public TSMRTInstruction {
public:
    uint8_t Value = 0;
    void Read(TBitStream &stream) override { Value = static_cast<uint8_t>(stream.ReadBits(width())); }
    void Write(TBitStream &stream) const override { stream.WriteBits(Value, width()); }

protected:
    virtual int width() const = 0;
};

// Octave: 0 to 3 (RTTTL octave 4 to 7).
class TSMRTScale : public TSMRTValueInstruction {
public:
    explicit TSMRTScale(uint8_t value = 0) { Value = value; }
    const char *ClassName() const override { return "TSMRTScale"; }

protected:
    int width() const override { return 2; }
};

// 0 normal, 1 continuous, 2 staccato.
class TSMRTStyle : public TSMRTValueInstruction {
public:
    explicit TSMRTStyle(uint8_t value = 0) { Value = value; }
    const char *ClassName() const override { return "TSMRTStyle"; }

protected:
    int width() const override { return 2; }
};

// Index into the beats-per-minute table.
class TSMRTTempo : public TSMRTValueInstruction {
public:
    explicit TSMRTTempo(uint8_t value = 0) { Value = value; }
    const char *ClassName() const override { return "TSMRTTempo"; }
    static int ToBPM(int code);      // the code is clamped to 0..31
    static uint8_t FromBPM(int bpm); // the smallest code of at least bpm; above 800 gives 31

protected:
    int width() const override { return 5; }
};

class TSMRTVolume : public TSMRTValueInstruction {
public:
    explicit TSMRTVolume(uint8_t value = 0) { Value = value; }
    const char *ClassName() const override { return "TSMRTVolume"; }

protected:
    int width() const override { return 4; }
};

// A command: an 8-bit part count and the parts, each ending on an octet boundary.
class TSMRTCommand {
public:
    std::vector<std::unique_ptr<TSMRTCommandPart>> Parts;
    void Read(TBitStream &stream);
    void Write(TBitStream &stream) const;
    // The 7-bit code of a part; a part of no coded class raises "Ringing code encoding error".
    static uint8_t PartCode(const TSMRTCommandPart &part);
};

// The ringing-tone payload (port 5505): commands ended by a zero octet.
class TSMRingingTone : public TSmartMessage {
public:
    std::vector<std::unique_ptr<TSMRTCommand>> Commands;

    std::string GetData() const override;
    // On failure the commands read completely before it stay in Commands.
    void SetData(const std::string &data) override;
    const char *ClassName() const override { return "TSMRingingTone"; }

    // RTTTL text of the first pattern of the first command (rtttl.cpp).
    QString RTTTL() const;
    // Replaces Commands by one command built from RTTTL text; raises "Bad RTTTL format" without
    // touching Commands when the text lacks the two colons after name and defaults, or has a
    // further colon that is not a note's double-dotted mark (as RTTTL() writes it).
    void SetRTTTL(const QString &text);
};

// One note as RTTTL writes it: 2 to the power Duration unless a quarter (2), the name of Value
// (0 pause to 12 h), the octave digit (4 to 7) unless Scale is 1, and ".", ":" or ";" for
// Specifier 1 to 3; "" for a value without a name.
QString RTTTLNote(int Value, int Duration, int Scale, int Specifier);

} // namespace kestrel
