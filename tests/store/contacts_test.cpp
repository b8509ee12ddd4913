// The address book of the store: the key under which the written forms of a number meet, as a
// table, and contacts kept, merged, found by any form of their numbers and deleted on both back
// ends.
#include "gsm/numberingplan.h"
#include "storerig.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::storetest;

namespace {

struct TKeyCase {
    const char *number;
    const char *countryCode; // the home plan ("" none)
    const char *key;
};

const TKeyCase kKeys[] = {
    // One German mobile number in its three forms, and with separators.
    {"+491711234567", "49", "491711234567"},
    {"00491711234567", "49", "491711234567"},
    {"01711234567", "49", "491711234567"},
    {"0171 123-45 67", "49", "491711234567"},
    {"+49 (171) 123 4567", "", "491711234567"},
    {"00491711234567", "", "491711234567"},
    // Without a home plan a national number stays as written.
    {"01711234567", "", "01711234567"},
    // Another home: the same national form is another number.
    {"01711234567", "44", "441711234567"},
    {"07700900123", "44", "447700900123"},
    // Trunk prefixes of more than one digit and other than 0; the North American plan with and
    // without its trunk 1; Italy keeps its leading 0.
    {"06301234567", "36", "36301234567"},
    {"89161234567", "7", "79161234567"},
    {"81049171123", "7", "49171123"},
    {"2125551234", "1", "12125551234"},
    {"12125551234", "1", "12125551234"},
    {"01149171123", "1", "49171123"},
    {"0612345678", "39", "390612345678"},
    {"3123456789", "39", "393123456789"},
    // Countries without a trunk prefix: numbers of the national length only.
    {"612345678", "34", "34612345678"},
    {"61234567", "34", "61234567"},
    // Short codes, service codes and alphanumeric senders are left alone.
    {"22222", "49", "22222"},
    {"0800", "49", "0800"},
    {"*100#", "49", "*100#"},
    {"Kestrel", "49", "kestrel"},
    {"ING-DiBa", "49", "ing-diba"},
    // Garbage: no country code, too long for E.164, a "+" inside, unknown plan.
    {"+0171", "49", "0171"},
    {"+4917112345678901", "49", "4917112345678901"},
    {"0049+171", "49", "0049+171"},
    {"01711234567", "999", "01711234567"},
    {"", "49", ""},
};

TEST(ContactNumberKey, WrittenFormsMeet)
{
    for (const auto &c : kKeys) {
        SCOPED_TRACE(std::string(c.number) + " at home in " + c.countryCode);
        EXPECT_EQ(ContactNumberKey(c.number, c.countryCode), c.key);
    }
}

TEST(NumberingPlan, FoundByMCCCountryCodeAndISO)
{
    ASSERT_NE(NumberingPlanOfMCC("262"), nullptr);
    EXPECT_EQ(NumberingPlanOfMCC("262")->CountryCode, "49");
    EXPECT_EQ(NumberingPlanOfMCC("235")->ISO, "GB");
    EXPECT_EQ(NumberingPlanOfMCC("311")->CountryCode, "1");
    EXPECT_EQ(NumberingPlanOfMCC("26"), nullptr);
    EXPECT_EQ(NumberingPlanOfMCC("999"), nullptr);
    EXPECT_EQ(NumberingPlanOfMCC("2,6"), nullptr);
    EXPECT_EQ(NumberingPlanOfCountryCode("+49")->ISO, "DE");
    EXPECT_EQ(NumberingPlanOfCountryCode("1")->ISO, "US");
    EXPECT_EQ(NumberingPlanOfCountryCode("4"), nullptr);
    EXPECT_EQ(NumberingPlanOfISO("ru")->CountryCode, "7");
    EXPECT_EQ(NumberingPlanOfISO("XX"), nullptr);
}

class ContactStore : public StoreTest {};

TContact Card(const std::string &name, std::vector<TContactNumber> numbers)
{
    return {0, name, std::move(numbers)};
}

TEST_P(ContactStore, NumbersOfEachFormFindTheirContact)
{
    auto store = Open();
    const int64_t anna = store->SaveContact(
        Card("Anna Schmidt", {{"+491711234567", "cell", {}}, {"030 1234567", "home", {}}}), "49");
    const int64_t ivan = store->SaveContact(Card("Иван", {{"+79161234567", "", {}}}), "49");
    EXPECT_NE(anna, ivan);
    for (const char *form : {"+491711234567", "00491711234567", "01711234567", "+49301234567"}) {
        SCOPED_TRACE(form);
        const auto c = store->ContactOfNumber(form, "49");
        ASSERT_TRUE(c.has_value());
        EXPECT_EQ(c->Id, anna);
        EXPECT_EQ(c->Name, "Anna Schmidt");
        ASSERT_EQ(c->Numbers.size(), 2u);
        EXPECT_EQ(c->Numbers[0].Number, "+491711234567");
        EXPECT_EQ(c->Numbers[0].Label, "cell");
        EXPECT_EQ(c->Numbers[1].Key, "49301234567");
    }
    EXPECT_EQ(store->ContactOfNumber("89161234567", "7")->Name, "Иван");
    EXPECT_FALSE(store->ContactOfNumber("01711234567", "44").has_value());
    EXPECT_FALSE(store->ContactOfNumber("Kestrel", "49").has_value());

    // Sorted by name, and kept across a reopen.
    store.reset();
    store = Open();
    const auto all = store->Contacts();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Name, "Anna Schmidt");
    EXPECT_EQ(all[1].Name, "Иван");
    EXPECT_EQ(all[1].Numbers.size(), 1u);
}

TEST_P(ContactStore, TheSameCardTwiceStaysOneContact)
{
    auto store = Open();
    const int64_t id = store->SaveContact(Card("Anna", {{"+491711234567", "cell", {}}}), "49");
    // The same person with the number in its national form and one more number: merged.
    EXPECT_EQ(store->SaveContact(Card("Anna", {{"01711234567", "", {}}, {"+49301234567", "work", {}}}), "49"),
              id);
    // Another name with the same number is another contact.
    const int64_t other = store->SaveContact(Card("Anna's office", {{"+491711234567", "", {}}}), "49");
    EXPECT_NE(other, id);
    auto all = store->Contacts();
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(all[0].Numbers.size(), 2u);
    EXPECT_EQ(all[0].Numbers[0].Number, "+491711234567");
    EXPECT_EQ(all[0].Numbers[1].Label, "work");
    // With an id the contact is replaced; deleting takes its numbers along.
    TContact renamed = Card("Anna S.", {{"0171 1234567", "", {}}});
    renamed.Id = id;
    EXPECT_EQ(store->SaveContact(renamed, "49"), id);
    EXPECT_FALSE(store->ContactOfNumber("+49301234567", "49").has_value());
    // Two contacts share the number: the first by name answers.
    EXPECT_EQ(store->ContactOfNumber("+491711234567", "49")->Name, "Anna S.");
    EXPECT_TRUE(store->DeleteContact(id));
    EXPECT_FALSE(store->DeleteContact(id));
    EXPECT_EQ(store->ContactOfNumber("01711234567", "49")->Name, "Anna's office");
    all = store->Contacts();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Numbers.size(), 1u);
}

TEST_P(ContactStore, ContactsWithoutNameOrNumberAreRefused)
{
    auto store = Open();
    EXPECT_THROW(store->SaveContact(Card(" ", {{"+491711234567", "", {}}}), "49"), EStoreError);
    EXPECT_THROW(store->SaveContact(Card("Nobody", {}), "49"), EStoreError);
    EXPECT_THROW(store->SaveContact(Card("Nobody", {{"", "", {}}}), "49"), EStoreError);
    TContact ghost = Card("Ghost", {{"123456", "", {}}});
    ghost.Id = 4711;
    EXPECT_THROW(store->SaveContact(ghost, "49"), EStoreError);
    EXPECT_TRUE(store->Contacts().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, ContactStore, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

} // namespace
