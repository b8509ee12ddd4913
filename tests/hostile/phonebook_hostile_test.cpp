// "+CPBS:" and "+CPBR:" lines no handset sends: counts that contradict each other, storage names
// that would break out of their quotes, lists without end or of hundreds of storages, UCS2 of odd
// length, lengths past any number. Each row names a file of fuzz/corpus/phonebook (its first
// byte chooses the TE character set), the reader it goes through and what it must give.
#include "hostilecorpus.h"

#include "gsm/phonebook.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

enum class TReader { Entry, Range, Status, Storages };

struct TPhonebookCase {
    const char *file;
    TReader reader;
    std::string error; // empty: reads
    std::string number;
    QString name;
};

const TPhonebookCase kCases[] = {
    {"hostile_cpbs_used_over_total", TReader::Status, "+CPBS: 11 used of 10", "", ""},
    // The escaped quote opens a field that runs to the end of the line: no storage name.
    {"hostile_cpbs_storage_quote", TReader::Status,
     "phonebook storage: \"\"S\\\"M\",1,10\" is no storage name", "", ""},
    {"hostile_cpbs_list_unclosed", TReader::Storages, "+CPBS storages: \"(\"SM\",\"ME\"\" is no list", "",
     ""},
    {"hostile_cpbs_list_long", TReader::Storages, "+CPBS storages: more than 32", "", ""},
    {"hostile_cpbr_lengths_huge", TReader::Range,
     "+CPBR text length: \"99999999999999999999\" is no number of 0 to 65535", "", ""},
    // Odd UCS2 is shown as the characters it has, not guessed at.
    {"hostile_cpbr_ucs2_number_odd", TReader::Entry, "", "+002B003", "A"},
    {"hostile_cpbr_ucs2_name_odd", TReader::Entry, "", "123", "041"},
    {"hostile_cpbr_unterminated", TReader::Entry, "+CPBR: a quote is left open", "", ""},
};

TEST(PhonebookHostile, EachLineReadsOrNamesItsField)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.file);
        const std::string input = Corpus("phonebook", c.file);
        ASSERT_FALSE(input.empty());
        const auto charset = static_cast<TTECharset>(static_cast<uint8_t>(input[0]) % 5);
        const std::string_view line = std::string_view(input).substr(1);
        TPhonebookEntry entry;
        EXPECT_EQ(ErrorOf([&] {
                      switch (c.reader) {
                      case TReader::Entry:
                          entry = ParseCPBRLine(line, charset);
                          break;
                      case TReader::Range:
                          ParseCPBRTest(line);
                          break;
                      case TReader::Status:
                          ParseCPBSRead(line);
                          break;
                      case TReader::Storages:
                          ParseCPBSTest(line);
                          break;
                      }
                  }),
                  c.error);
        if (c.error.empty() && c.reader == TReader::Entry) {
            EXPECT_EQ(entry.Number, c.number);
            EXPECT_EQ(entry.Name, c.name) << entry.Name.toStdString();
        }
    }
}

} // namespace
