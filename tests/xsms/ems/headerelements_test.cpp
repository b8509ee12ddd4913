// The stored form of EMS elements (identifier, length, data, one after the other): one encoder and
// one decoder for the store, kestrel and the Messages view, and a chain that runs past its end is
// void as a whole, as in a header.
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TEST(HeaderElements, DecodeWholeChainsOrNothing)
{
    const struct {
        const char *name;
        std::string stored;
        bool whole;
        std::vector<uint8_t> identifiers;
    } cases[] = {
        {"nothing", "", true, {}},
        {"one element", std::string("\x0B\x02\x00\x01", 4), true, {0x0B}},
        {"two elements", std::string("\x0B\x02\x00\x01\x0D\x02\x03\x04", 8), true, {0x0B, 0x0D}},
        {"an element without data", std::string("\x0A\x00", 2), true, {0x0A}},
        {"data cut short", std::string("\x0B\x02\x00", 3), false, {}},
        {"cut after a whole element", std::string("\x0B\x02\x00\x01\x12\x09\x00", 7), false, {}},
        {"a lone identifier", std::string("\x0B\x02\x00\x01\x0D", 5), false, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TUDHProtocol protocol;
        EXPECT_EQ(DecodeHeaderElements(c.stored, protocol), c.whole);
        std::vector<uint8_t> identifiers;
        for (int i = 0; i < protocol.IEs().Count(); ++i)
            identifiers.push_back(protocol.IEs()[i]->Identifier);
        EXPECT_EQ(identifiers, c.identifiers);
        if (c.whole) {
            EXPECT_EQ(EncodeHeaderElements(protocol), c.stored);
        }
    }
}

} // namespace
