// A bit-level reader and writer over a byte string, most significant bit first. The ringing-tone
// codec reads and writes its whole object tree through one stream.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

class TBitStream {
public:
    std::string Data;
    uint8_t BitIndex = 0; // bit inside the current byte, 0 = most significant
    int Position = 1;     // 1-based index of the current byte in Data
    // Chosen by the ringing-tone codec: song titles travel as 16-bit characters while set.
    bool Unicode = false;

    void Reset(const std::string &bytes);

    // Raise "Read beyond end of bit stream" when the stream is exhausted.
    bool ReadBit();
    uint32_t ReadBits(int count); // at most 32 bits, the first read is the most significant
    // Forward: reads and discards. Backward: steps back, raising when it passes the start.
    void Skip(int bits);
    void AlignRead();

    // Appends at the end, or overwrites bits in place when positioned inside the data.
    void WriteBit(bool value);
    void WriteBits(uint32_t value, int count);
    void AlignWrite();

private:
    void advance();
};

} // namespace kestrel
