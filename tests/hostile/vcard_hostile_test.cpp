// Files no address book writes, from fuzz/corpus/smartmessages_vcards: each row names a file and
// the errors it must give (nothing of such a file is a contact).
#include "hostilecorpus.h"

#include "xsms/vcardcontacts.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

const std::pair<const char *, const char *> kCases[] = {
    {"hostile_vcard_no_number", "card 1 (line 1) \"No number\": no phone number (TEL)"},
    {"hostile_vcard_no_end", "card 1 (line 1): no END:VCARD"},
    {"hostile_vcard_not_a_vcard", "no vCard in it (no BEGIN:VCARD line)"},
    {"hostile_vcard_overlong_line", "line 3: a line of more than 65536 octets"},
    {"hostile_vcard_tel_letters", "card 1 (line 1) \"Letters\": TEL \"call me\" is no phone number"},
};

TEST(VCardHostile, EachFileNamesWhatIsWrong)
{
    for (const auto &[file, error] : kCases) {
        SCOPED_TRACE(file);
        const TVCardRead read = ReadVCards(Corpus("smartmessages_vcards", file));
        EXPECT_TRUE(read.Contacts.empty());
        EXPECT_EQ(read.Errors, std::vector<std::string>{error});
    }
    const TVCardRead huge = ReadVCards(std::string(kMaxVCardText + 1, 'x'));
    EXPECT_EQ(huge.Errors,
              std::vector<std::string>{"4194305 octets: more than the 4194304 of an address book"});
}

} // namespace
