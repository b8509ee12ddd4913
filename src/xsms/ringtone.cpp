#include "xsms/ringtone.h"

#include "gsm/gsmerror.h"

#include <algorithm>

namespace kestrel {

namespace {

[[noreturn]] void badFormat()
{
    throw EGSMError("Bad ringing tone format");
}

[[noreturn]] void encodingError()
{
    throw EGSMError("Ringing code encoding error");
}

constexpr int kTempoBPM[32] = {25,  28,  31,  35,  40,  45,  50,  56,  63,  70,  80,
                               90,  100, 112, 125, 140, 160, 180, 200, 225, 250, 285,
                               320, 355, 400, 450, 500, 565, 635, 715, 800, 900};

// The counts of the tone language are 8-bit fields.
constexpr size_t kMaxCount = 255;

} // namespace

// --- command parts ----------------------------------------------------------------------------

std::unique_ptr<TSMRTCommandPart> TSMRTCommandPart::ReadPart(TBitStream &stream)
{
    std::unique_ptr<TSMRTCommandPart> part;
    switch (stream.ReadBits(7)) {
    case kRTPartCancel:
        part = std::make_unique<TSMRTCancel>();
        break;
    case kRTPartSound:
        return TSMRTSound::ReadSound(stream);
    case kRTPartUnicode:
        part = std::make_unique<TSMRTUnicode>();
        break;
    case kRTPartRingingTone:
        part = std::make_unique<TSMRTRingingTone>();
        break;
    default:
        badFormat();
    }
    part->Read(stream);
    return part;
}

void TSMRTCancel::Read(TBitStream &stream)
{
    Value = static_cast<uint8_t>(stream.ReadBits(7));
    if (Value == kRTPartUnicode)
        stream.Unicode = false;
}

void TSMRTCancel::Write(TBitStream &stream) const
{
    stream.WriteBits(Value, 7);
    if (Value == kRTPartUnicode)
        stream.Unicode = false;
}

void TSMRTUnicode::Read(TBitStream &stream)
{
    stream.Unicode = true;
}

// A writer that announces unicode keeps its word: the titles that follow go out as 16-bit
// characters, which is how a reader of the same stream will take them.
void TSMRTUnicode::Write(TBitStream &stream) const
{
    stream.Unicode = true;
}

// --- songs ------------------------------------------------------------------------------------

void TSMRTSound::WriteSongType(TBitStream &stream) const
{
    uint8_t type;
    if (dynamic_cast<const TSMRTBasicSong *>(this))
        type = 1;
    else if (dynamic_cast<const TSMRTTemporarySong *>(this))
        type = 2;
    else if (dynamic_cast<const TSMRTMidiSong *>(this))
        type = 3;
    else if (dynamic_cast<const TSMRTDigitisedSong *>(this))
        type = 4;
    else if (dynamic_cast<const TSMRTPolyphonicSong *>(this))
        type = 5;
    else
        encodingError();
    stream.WriteBits(type, 3);
}

std::unique_ptr<TSMRTSound> TSMRTSound::ReadSound(TBitStream &stream)
{
    std::unique_ptr<TSMRTSound> song;
    switch (stream.ReadBits(3)) {
    case 1:
        song = std::make_unique<TSMRTBasicSong>();
        break;
    case 2:
        song = std::make_unique<TSMRTTemporarySong>();
        break;
    case 3:
        song = std::make_unique<TSMRTMidiSong>();
        break;
    case 4:
        song = std::make_unique<TSMRTDigitisedSong>();
        break;
    case 5:
        song = std::make_unique<TSMRTPolyphonicSong>();
        break;
    default:
        badFormat();
    }
    song->Read(stream);
    return song;
}

void TSMRTUnsupportedSong::Read(TBitStream &)
{
    throw EGSMError("Unsupported song type");
}

void TSMRTUnsupportedSong::Write(TBitStream &stream) const
{
    WriteSongType(stream);
    throw EGSMError("Unsupported song type");
}

void TSMRTTemporarySong::readPatterns(TBitStream &stream)
{
    Patterns.clear();
    const uint32_t n = stream.ReadBits(8);
    for (uint32_t i = 0; i < n; ++i) {
        auto pattern = std::make_unique<TSMRTPattern>();
        pattern->Read(stream);
        Patterns.push_back(std::move(pattern));
    }
}

void TSMRTTemporarySong::writePatterns(TBitStream &stream) const
{
    const size_t n = std::min(Patterns.size(), kMaxCount);
    stream.WriteBits(static_cast<uint32_t>(n), 8);
    for (size_t i = 0; i < n; ++i) {
        if (!Patterns[i])
            encodingError();
        Patterns[i]->Write(stream);
    }
}

void TSMRTTemporarySong::Read(TBitStream &stream)
{
    readPatterns(stream);
}

void TSMRTTemporarySong::Write(TBitStream &stream) const
{
    WriteSongType(stream);
    writePatterns(stream);
}

void TSMRTBasicSong::Read(TBitStream &stream)
{
    const uint32_t length = stream.ReadBits(4);
    m_title.clear();
    for (uint32_t i = 0; i < length; ++i)
        m_title.append(QChar(static_cast<char16_t>(stream.ReadBits(stream.Unicode ? 16 : 8))));
    readPatterns(stream);
}

void TSMRTBasicSong::Write(TBitStream &stream) const
{
    WriteSongType(stream);
    stream.WriteBits(static_cast<uint32_t>(m_title.size()), 4);
    for (QChar c : m_title) {
        if (stream.Unicode)
            stream.WriteBits(c.unicode(), 16);
        else
            stream.WriteBits(c.unicode() & 0xFF, 8);
    }
    writePatterns(stream);
}

// --- patterns and instructions ------------------------------------------------------------------

void TSMRTPattern::Read(TBitStream &stream)
{
    if (stream.ReadBits(3) != 0)
        badFormat();
    PatternId = static_cast<uint8_t>(stream.ReadBits(2));
    LoopValue = static_cast<uint8_t>(stream.ReadBits(4));
    const uint32_t n = stream.ReadBits(8);
    Instructions.clear();
    for (uint32_t i = 0; i < n; ++i)
        Instructions.push_back(TSMRTInstruction::ReadInstruction(stream));
}

void TSMRTPattern::Write(TBitStream &stream) const
{
    stream.WriteBits(0, 3);
    stream.WriteBits(PatternId, 2);
    stream.WriteBits(LoopValue, 4);
    const size_t n = std::min(Instructions.size(), kMaxCount);
    stream.WriteBits(static_cast<uint32_t>(n), 8);
    for (size_t i = 0; i < n; ++i) {
        const TSMRTInstruction *in = Instructions[i].get();
        uint8_t id;
        if (dynamic_cast<const TSMRTNote *>(in))
            id = 1;
        else if (dynamic_cast<const TSMRTScale *>(in))
            id = 2;
        else if (dynamic_cast<const TSMRTStyle *>(in))
            id = 3;
        else if (dynamic_cast<const TSMRTTempo *>(in))
            id = 4;
        else if (dynamic_cast<const TSMRTVolume *>(in))
            id = 5;
        else
            encodingError();
        stream.WriteBits(id, 3);
        in->Write(stream);
    }
}

std::unique_ptr<TSMRTInstruction> TSMRTInstruction::ReadInstruction(TBitStream &stream)
{
    std::unique_ptr<TSMRTInstruction> in;
    switch (stream.ReadBits(3)) {
    case 1:
        in = std::make_unique<TSMRTNote>();
        break;
    case 2:
        in = std::make_unique<TSMRTScale>();
        break;
    case 3:
        in = std::make_unique<TSMRTStyle>();
        break;
    case 4:
        in = std::make_unique<TSMRTTempo>();
        break;
    case 5:
        in = std::make_unique<TSMRTVolume>();
        break;
    default:
        badFormat();
    }
    in->Read(stream);
    return in;
}

void TSMRTNote::Read(TBitStream &stream)
{
    Value = static_cast<uint8_t>(stream.ReadBits(4));
    Duration = static_cast<uint8_t>(stream.ReadBits(3));
    DurationSpecifier = static_cast<uint8_t>(stream.ReadBits(2));
}

void TSMRTNote::Write(TBitStream &stream) const
{
    stream.WriteBits(Value, 4);
    stream.WriteBits(Duration, 3);
    stream.WriteBits(DurationSpecifier, 2);
}

int TSMRTTempo::ToBPM(int code)
{
    return kTempoBPM[std::clamp(code, 0, 31)];
}

uint8_t TSMRTTempo::FromBPM(int bpm)
{
    for (uint8_t i = 0; i < 32; ++i)
        if (kTempoBPM[i] >= bpm)
            return i;
    return 31;
}

// --- commands and the payload ---------------------------------------------------------------------

uint8_t TSMRTCommand::PartCode(const TSMRTCommandPart &part)
{
    if (dynamic_cast<const TSMRTCancel *>(&part))
        return kRTPartCancel;
    if (dynamic_cast<const TSMRTRingingTone *>(&part))
        return kRTPartRingingTone;
    if (dynamic_cast<const TSMRTSound *>(&part))
        return kRTPartSound;
    if (dynamic_cast<const TSMRTUnicode *>(&part))
        return kRTPartUnicode;
    encodingError();
}

void TSMRTCommand::Read(TBitStream &stream)
{
    const uint32_t n = stream.ReadBits(8);
    for (uint32_t i = 0; i < n; ++i) {
        Parts.push_back(TSMRTCommandPart::ReadPart(stream));
        stream.AlignRead();
    }
}

void TSMRTCommand::Write(TBitStream &stream) const
{
    const size_t n = std::min(Parts.size(), kMaxCount);
    stream.WriteBits(static_cast<uint32_t>(n), 8);
    for (size_t i = 0; i < n; ++i) {
        if (!Parts[i])
            encodingError();
        stream.WriteBits(PartCode(*Parts[i]), 7);
        Parts[i]->Write(stream);
        stream.AlignWrite();
    }
}

std::string TSMRingingTone::GetData() const
{
    TBitStream stream;
    for (const auto &command : Commands)
        if (command)
            command->Write(stream);
    stream.WriteBits(0, 8); // command end
    return stream.Data;
}

void TSMRingingTone::SetData(const std::string &data)
{
    Commands.clear();
    TBitStream stream;
    stream.Reset(data);
    while (stream.ReadBits(8) != 0) {
        stream.Skip(-8);
        auto command = std::make_unique<TSMRTCommand>();
        command->Read(stream);
        Commands.push_back(std::move(command));
    }
}

} // namespace kestrel
