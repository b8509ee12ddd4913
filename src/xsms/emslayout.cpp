#include "xsms/emslayout.h"

#include "base/format.h"
#include "gsm/gsmerror.h"
#include "gsm/tpdufields.h"

#include <algorithm>
#include <optional>

namespace kestrel {

namespace {

// TS 23.040 9.2.3.16: the user data of one message.
constexpr size_t kUserDataOctets = 140;
constexpr size_t kUserDataSeptets = 160;
// TS 23.040 9.2.3.24.1: the 8-bit concatenation element, identifier and length included.
constexpr size_t kConcatElement = 5;
// TS 23.040 9.2.3.24.10.1.1: identifier, length, start, length and mode (no colour octet).
constexpr uint8_t kTextFormatIEI = 0x0A;
constexpr size_t kTextFormatElement = 5;
constexpr size_t kMaxSegments = 255;

char octet(size_t v)
{
    return static_cast<char>(v & 0xFF);
}

// Text units left beside a header of HeaderOctets (header length octet included); the septets of
// a 7-bit text start after the fill bits.
bool fits(TTextUnits units, size_t headerOctets, size_t text)
{
    if (headerOctets > kUserDataOctets)
        return false;
    const size_t room = units == TTextUnits::tuSeptets ? kUserDataSeptets - HeaderSeptets(headerOctets)
                                                       : kUserDataOctets - headerOctets;
    return text <= room;
}

// Fills segments one after another: before character i go the elements positioned at i, then the
// character itself, with a text-formatting element when it is the first of a blinking range in
// this segment. What does not fit closes the segment. Gives up (nullopt) beyond Limit segments.
std::optional<std::vector<TEMSSegments::TSegment>> fill(const std::vector<std::string> &chars,
                                                        const std::vector<TEMSElement> &elements,
                                                        const std::vector<TTextRange> &ranges,
                                                        TTextUnits units, bool concatenated, size_t limit)
{
    const int n = static_cast<int>(chars.size());
    const size_t base = 1 + (concatenated ? kConcatElement : 0);
    std::vector<TEMSSegments::TSegment> segments;
    size_t e = 0; // next element
    size_t r = 0; // first range not yet behind the current character
    int i = 0;    // next character
    do {
        if (segments.size() == limit)
            return std::nullopt;
        const int start = i;
        size_t header = base, text = 0;
        // The segment's elements in order: an element, or a range formatted in this segment.
        struct TItem {
            const TEMSElement *element;
            const TTextRange *range;
        };
        std::vector<TItem> items;
        const TTextRange *formatted = nullptr;
        for (;;) {
            if (e < elements.size() && std::min(elements[e].Position, n) <= i) {
                const size_t need = 2 + elements[e].Data.size();
                if (fits(units, header + need, text)) {
                    items.push_back({&elements[e++], nullptr});
                    header += need;
                    continue;
                }
                if (items.empty() && i == start)
                    throw EGSMError(Format("EMS object too large for one message: %d octets, at most %d",
                                           static_cast<int>(elements[e].Data.size()),
                                           static_cast<int>(kMaxEMSElementData)));
                break;
            }
            if (i >= n)
                break;
            while (r < ranges.size() && ranges[r].Start + ranges[r].Length <= i)
                ++r;
            const TTextRange *range = r < ranges.size() && ranges[r].Start <= i ? &ranges[r] : nullptr;
            const size_t extra = range && range != formatted ? kTextFormatElement : 0;
            if (!fits(units, header + extra, text + chars[static_cast<size_t>(i)].size()))
                break; // a character with its element always fits an empty segment
            if (extra) {
                items.push_back({nullptr, range});
                formatted = range;
                header += extra;
            }
            text += chars[static_cast<size_t>(i++)].size();
        }

        TEMSSegments::TSegment segment;
        for (const TItem &item : items) {
            if (item.element) {
                std::string data = item.element->Data;
                if (!data.empty())
                    data[0] = octet(static_cast<size_t>(std::min(item.element->Position, n) - start));
                segment.Elements += octet(item.element->IEI);
                segment.Elements += octet(data.size());
                segment.Elements += data;
            } else {
                const int from = std::max(item.range->Start, start);
                const int to = std::min(item.range->Start + item.range->Length, i);
                segment.Elements +=
                    {octet(kTextFormatIEI), 3, octet(static_cast<size_t>(from - start)),
                     octet(static_cast<size_t>(to - from)), static_cast<char>(kBlinkFormatMode)};
            }
        }
        for (int k = start; k < i; ++k)
            segment.Text += chars[static_cast<size_t>(k)];
        segments.push_back(std::move(segment));
    } while (i < n || e < elements.size());
    return segments;
}

} // namespace

std::vector<TTextRange> TakeBlinkMarkers(QString &Text)
{
    std::vector<TTextRange> ranges;
    QString clean;
    clean.reserve(Text.size());
    int open = -1;
    auto close = [&] {
        if (open >= 0 && clean.size() > open)
            ranges.push_back({open, static_cast<int>(clean.size()) - open});
        open = -1;
    };
    for (QChar c : Text) {
        if (c.unicode() == kBlinkStart) {
            if (open < 0)
                open = static_cast<int>(clean.size());
        } else if (c.unicode() == kBlinkEnd) {
            close();
        } else {
            clean += c;
        }
    }
    close();
    Text = clean;
    return ranges;
}

std::string TEMSSegments::UserData(size_t Index, uint8_t Reference) const
{
    const TSegment &segment = Segments.at(Index);
    std::string header;
    if (Concatenated)
        header = {0, 3, static_cast<char>(Reference), octet(Segments.size()), octet(Index + 1)};
    header += segment.Elements;
    if (header.empty())
        return segment.Text;
    return octet(header.size()) + header + segment.Text;
}

TEMSSegments LayOutEMS(const std::vector<std::string> &Characters, const std::vector<TEMSElement> &Elements,
                       const std::vector<TTextRange> &Blink, TTextUnits Units, bool AlwaysConcatenate)
{
    TEMSSegments result;
    if (!AlwaysConcatenate) {
        if (auto one = fill(Characters, Elements, Blink, Units, false, 1)) {
            result.Segments = std::move(*one);
            return result;
        }
    }
    auto segments = fill(Characters, Elements, Blink, Units, true, kMaxSegments);
    if (!segments)
        throw EGSMError("Message too long");
    result.Segments = std::move(*segments);
    result.Concatenated = true;
    return result;
}

} // namespace kestrel
