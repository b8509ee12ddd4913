// TEMS layout: how the text of an EMS message and the elements that go with it are spread over
// one or more short messages. TS 23.040 9.2.3.24.10 places every positioned element in the
// segment whose text holds its position, counted from the start of that segment's text; a
// receiver reads the elements of each segment on its own, so an element is never cut across
// segments, and a formatted range that crosses a segment boundary needs one text-formatting
// element in each segment it touches. The blink markers the window's Blk button puts into a text
// become such text-formatting elements.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// The markers around blinking text (put by the window's Blk button, accepted by kestrel send).
constexpr char16_t kBlinkStart = 0x0165;
constexpr char16_t kBlinkEnd = 0x0164;
// TS 23.040 9.2.3.24.10.1.1 has no blink style among its formatting-mode bits. Blinking text goes
// bold (bit 4), the emphasis receiving handsets render most widely; the alignment bits stay at
// "language dependent" (11), so nothing but the weight changes.
constexpr uint8_t kBlinkFormatMode = 0x13;

// Characters [Start, Start + Length) of a text.
struct TTextRange {
    int Start = 0;
    int Length = 0;
    bool operator==(const TTextRange &) const = default;
};

// Removes the blink markers from Text and returns the ranges they marked, in positions of the
// text without markers, in order. A start marker opens a range (another one while it is open
// changes nothing), an end marker closes it (one without a start is dropped), a range still open
// at the end of the text runs to its end; ranges without characters are left out.
std::vector<TTextRange> TakeBlinkMarkers(QString &Text);

// One positioned EMS element: its data starts with the position octet, which the layout rewrites
// for the segment the element lands in. Position counts characters of the whole text.
struct TEMSElement {
    uint8_t IEI = 0;
    std::string Data;
    int Position = 0;
};

// What the text is counted in: 7-bit messages carry 160 septets, 8-bit and UCS2 ones 140 octets.
enum class TTextUnits { tuSeptets, tuOctets };

// The messages of one EMS text: per segment the elements (identifier, length, data; without the
// header length and the concatenation element) and the encoded text.
struct TEMSSegments {
    struct TSegment {
        std::string Elements;
        std::string Text;
    };
    std::vector<TSegment> Segments;
    bool Concatenated = false;

    // The user data of segment Index (from 0): header length, the concatenation element with
    // Reference when concatenated, the elements, the text.
    std::string UserData(size_t Index, uint8_t Reference) const;
};

// The most element data a segment of a concatenated message carries: 140 octets less the header
// length, the concatenation element and the element's own identifier and length.
constexpr size_t kMaxEMSElementData = 140 - 1 - 5 - 2;

// Spreads Characters (each in its encoded form: one octet per 7-bit code, an escape pair being one
// character; two or four octets of UCS2; one octet of 8-bit text) with Elements (in order of
// position) and the Blink ranges over as few messages as they fit. One message goes without a
// concatenation element unless AlwaysConcatenate. Raises EGSMError for an element that fits no
// message and for more than 255 messages.
TEMSSegments LayOutEMS(const std::vector<std::string> &Characters, const std::vector<TEMSElement> &Elements,
                       const std::vector<TTextRange> &Blink, TTextUnits Units, bool AlwaysConcatenate);

} // namespace kestrel
