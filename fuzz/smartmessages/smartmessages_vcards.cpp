// Arbitrary bytes as a file of vCards: every contact read has a name and numbers within the
// limits; the cards written of them read back to the same names and numbers without an error.
#include "smartmessagefuzz.h"
#include "xsms/vcardcontacts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    const TVCardRead read = ReadVCards(fuzz::Bytes(data, size));
    for (const TVCardContact &c : read.Contacts) {
        fuzz::Check(!c.Name.empty() && !c.Numbers.empty());
        for (const TVCardNumber &n : c.Numbers)
            fuzz::Check(!n.Number.empty() && n.Number.size() <= kMaxVCardNumber);
    }
    const TVCardRead again = ReadVCards(WriteVCards(read.Contacts));
    fuzz::Check(again.Errors.empty() || read.Contacts.empty());
    fuzz::Check(again.Contacts.size() == read.Contacts.size());
    for (size_t i = 0; i < read.Contacts.size(); ++i) {
        fuzz::Check(again.Contacts[i].Name == read.Contacts[i].Name);
        fuzz::Check(again.Contacts[i].Numbers.size() == read.Contacts[i].Numbers.size());
        for (size_t k = 0; k < read.Contacts[i].Numbers.size(); ++k) {
            fuzz::Check(again.Contacts[i].Numbers[k].Number == read.Contacts[i].Numbers[k].Number);
            fuzz::Check(again.Contacts[i].Numbers[k].Label == read.Contacts[i].Numbers[k].Label);
        }
    }
    return 0;
}
