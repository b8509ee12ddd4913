#include "xsms/bitstream.h"

#include "gsm/gsmerror.h"

namespace kestrel {

[[noreturn]] static void readBeyondEnd()
{
    throw EGSMError("Read beyond end of bit stream");
}

void TBitStream::Reset(const std::string &bytes)
{
    Data = bytes;
    BitIndex = 0;
    Position = 1;
}

void TBitStream::advance()
{
    if (++BitIndex > 7) {
        BitIndex = 0;
        ++Position;
    }
}

bool TBitStream::ReadBit()
{
    // A position outside the data (only reachable by assigning Position directly) reads as the end.
    if (Position < 1 || static_cast<size_t>(Position) > Data.size())
        readBeyondEnd();
    const auto byte = static_cast<uint8_t>(Data[static_cast<size_t>(Position) - 1]);
    const bool bit = (byte >> (7 - BitIndex)) & 1;
    advance();
    return bit;
}

uint32_t TBitStream::ReadBits(int count)
{
    if (count > 32)
        count = 32;
    uint32_t result = 0;
    for (int i = 0; i < count; ++i)
        result = (result << 1) | (ReadBit() ? 1u : 0u);
    return result;
}

void TBitStream::Skip(int bits)
{
    if (bits >= 0) {
        for (int i = 0; i < bits; ++i)
            ReadBit();
        return;
    }
    const long long back = -static_cast<long long>(bits);
    long long position = Position - back / 8;
    for (long long i = 0; i < back % 8; ++i) {
        if (BitIndex > 0) {
            --BitIndex;
        } else {
            BitIndex = 7;
            --position;
        }
    }
    if (position <= 0) {
        Position = 1;
        BitIndex = 0;
        readBeyondEnd();
    }
    Position = static_cast<int>(position);
}

void TBitStream::AlignRead()
{
    while (BitIndex != 0)
        ReadBit();
}

void TBitStream::WriteBit(bool value)
{
    if (Position < 1)
        readBeyondEnd();
    while (static_cast<size_t>(Position) > Data.size())
        Data.push_back('\0');
    auto &byte = reinterpret_cast<uint8_t &>(Data[static_cast<size_t>(Position) - 1]);
    const uint8_t mask = static_cast<uint8_t>(0x80u >> BitIndex);
    byte = static_cast<uint8_t>(value ? (byte | mask) : (byte & ~mask));
    advance();
}

void TBitStream::WriteBits(uint32_t value, int count)
{
    if (count > 32)
        count = 32;
    for (int i = count - 1; i >= 0; --i)
        WriteBit((value >> i) & 1);
}

void TBitStream::AlignWrite()
{
    while (BitIndex != 0)
        WriteBit(false);
}

} // namespace kestrel
