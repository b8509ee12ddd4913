// Contacts as vCard text: files of one or more cards (RFC 2426 vCard 3.0 written; 2.1 and 3.0
// read, as phones and address books export them, and as a vCard message carries one) to a name
// and its numbers, and back. Each card goes through TDirectoryRecords; this file adds what a file
// of cards needs: splitting, limits, escapes, quoted-printable values and folding.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

struct TVCardNumber {
    std::string Number; // as the card has it, "tel:" dropped
    std::string Label;  // the first TEL type that says where ("cell", "home", "work", "fax", ...), or ""
};

struct TVCardContact {
    std::string Name; // UTF-8: FN, else the parts of N in reading order
    std::vector<TVCardNumber> Numbers;
};

// Limits of what is read: a file of cards is an address book, not a photo album.
constexpr size_t kMaxVCardText = 4 * 1024 * 1024;
constexpr size_t kMaxVCardLine = 64 * 1024; // one property after unfolding (photos fit)
constexpr size_t kMaxVCardName = 256;       // characters of a name
constexpr size_t kMaxVCardNumber = 40;      // characters of a number

struct TVCardRead {
    std::vector<TVCardContact> Contacts;
    // One text per card (or file) that cannot be taken, naming the card by its place and first
    // line: no BEGIN:VCARD at all, a card without END, an overlong line, a card without name or
    // without a number, a number that is none.
    std::vector<std::string> Errors;
};

// Reads every card of Text. Nothing of Text is trusted: sizes are bounded as above.
TVCardRead ReadVCards(std::string_view text);

// The cards of Contacts as vCard 3.0 (CR LF line ends, lines folded at 75 octets without
// splitting a character).
std::string WriteVCards(const std::vector<TVCardContact> &contacts);

} // namespace kestrel
