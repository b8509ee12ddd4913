#include "gsm/gsmerror.h"
#include "xsms/bitstream.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(BitStream, WritesMostSignificantBitFirstAndPadsOnAlign)
{
    TBitStream s;
    s.WriteBits(5, 3);
    s.AlignWrite();
    EXPECT_EQ(s.Data, std::string("\xA0", 1));
    s.AlignWrite(); // at a boundary: nothing
    EXPECT_EQ(s.Data.size(), 1u);
    s.WriteBits(0x1234, 16);
    EXPECT_EQ(s.Data, std::string("\xA0\x12\x34", 3));
}

TEST(BitStream, ReadsAcrossOctetBoundaries)
{
    TBitStream s;
    s.Reset("\xAB\xCD\xEF");
    EXPECT_EQ(s.ReadBits(4), 0xAu);
    EXPECT_EQ(s.ReadBits(8), 0xBCu);
    EXPECT_TRUE(s.ReadBit());
    EXPECT_EQ(s.BitIndex, 5);
    s.AlignRead();
    EXPECT_EQ(s.Position, 3);
    EXPECT_EQ(s.BitIndex, 0);
    EXPECT_EQ(s.ReadBits(8), 0xEFu);
}

TEST(BitStream, ReadingPastTheEndRaises)
{
    TBitStream s;
    EXPECT_THROW(
        {
            try {
                s.ReadBits(8);
            } catch (const EGSMError &e) {
                EXPECT_STREQ(e.what(), "Read beyond end of bit stream");
                throw;
            }
        },
        EGSMError);
    s.Reset("\x01");
    EXPECT_EQ(s.ReadBits(8), 1u);
    EXPECT_THROW(s.ReadBit(), EGSMError);
    s.Reset("\x01");
    EXPECT_THROW(s.Skip(9), EGSMError);
}

TEST(BitStream, SkipsBackAndForth)
{
    TBitStream s;
    s.Reset("\x5A\xC3");
    EXPECT_EQ(s.ReadBits(8), 0x5Au);
    s.Skip(-8);
    EXPECT_EQ(s.Position, 1);
    EXPECT_EQ(s.BitIndex, 0);
    EXPECT_EQ(s.ReadBits(8), 0x5Au);
    s.Skip(3);
    EXPECT_EQ(s.BitIndex, 3);
    s.Skip(-5); // across the octet boundary
    EXPECT_EQ(s.Position, 1);
    EXPECT_EQ(s.BitIndex, 6);
    EXPECT_EQ(s.ReadBits(4), 0b1011u);
    EXPECT_THROW(s.Skip(-16), EGSMError);
}

TEST(BitStream, WritingInsideExistingDataOverwritesInPlace)
{
    TBitStream s;
    s.Reset("\xFF\x00");
    s.WriteBits(0, 4);
    s.Position = 2;
    s.BitIndex = 4;
    s.WriteBits(0xF, 4);
    EXPECT_EQ(s.Data, std::string("\x0F\x0F", 2));
    s.WriteBit(true); // past the end: appends
    EXPECT_EQ(s.Data, std::string("\x0F\x0F\x80", 3));
}

} // namespace
} // namespace kestrel
