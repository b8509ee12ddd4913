#include "gsm/userdataprotocols.h"

#include "base/format.h"
#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerror.h"

#include <algorithm>
#include <string_view>

namespace kestrel {

namespace {

// Unsigned integer of n octets, least significant first; false (nothing consumed) when fewer
// are left.
bool takeLittleEndian(TByteReader &r, size_t n, uint32_t &value)
{
    const auto octets = r.Take(n);
    if (!octets)
        return false;
    value = 0;
    for (size_t i = n; i-- > 0;)
        value = (value << 8) | static_cast<uint8_t>((*octets)[i]);
    return true;
}

// Takes n octets into out; false (nothing consumed) when fewer are left.
bool takeOctets(TByteReader &r, size_t n, std::string_view &out)
{
    const auto octets = r.Take(n);
    if (!octets)
        return false;
    out = *octets;
    return true;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

unsigned hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

// Takes n hexadecimal digits from the front of t; false (t unchanged) when they are not there.
bool takeHex(std::string_view &t, size_t n, unsigned &value)
{
    if (t.size() < n)
        return false;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!isHexDigit(t[i]))
            return false;
        v = v * 16 + hexValue(t[i]);
    }
    value = v;
    t.remove_prefix(n);
    return true;
}

bool headerEnds(std::string_view t)
{
    return t.empty() || t.front() == ' ';
}

std::string octet(unsigned value)
{
    return std::string(1, static_cast<char>(value & 0xFF));
}

// Segment numbers are octets in every header; more segments cannot be numbered.
constexpr int kMaxSegments = 255;
// TS 23.040 9.2.3.24: the user data header and its payload share 140 octets, less the length octet.
constexpr int kUdhCapacity = 139;

} // namespace

// ---------------------------------------------------------------------------------------------
// Unit functions

std::string WordToBytes(uint16_t W)
{
    return octet(W >> 8) + octet(W);
}

std::string IntToLE(int64_t V, int N)
{
    std::string result;
    for (int i = 0; i < N; ++i) {
        result += static_cast<char>(static_cast<uint8_t>(V & 0xFF));
        V /= 256;
    }
    return result;
}

std::string PascalString(const std::string &S)
{
    const size_t n = std::min<size_t>(S.size(), 255);
    std::string result = octet(static_cast<unsigned>(n));
    result.append(S, 0, n);
    return result;
}

// ---------------------------------------------------------------------------------------------
// TSMSProtocol

std::string TSMSProtocol::TSegment::Payload() const
{
    if (HeaderLength >= static_cast<int>(Text.size()))
        return {};
    return Text.substr(static_cast<size_t>(HeaderLength), static_cast<size_t>(PayloadLength));
}

void TSMSProtocol::Clear()
{
    m_segments.clear();
    m_segmentCount = 0;
    m_state = kStateEmpty;
}

const std::string &TSMSProtocol::Data() const
{
    CheckComplete();
    return m_data;
}

void TSMSProtocol::SetData(const std::string &value)
{
    assignAndEncode(m_data, value);
}

void TSMSProtocol::CheckComplete() const
{
    if (m_state == kStateIncomplete)
        throw EGSMError("NBS not complete");
}

void TSMSProtocol::SetReference(uint32_t value)
{
    assignAndEncode(m_reference, value);
}

void TSMSProtocol::Touch()
{
    m_timestamp = NowUTC();
}

std::string TSMSProtocol::GetSegment(int Index) const
{
    if (Index < 1 || Index > m_segmentCount)
        RaiseListIndexError(Index - 1);
    auto it = m_segments.find(Index - 1);
    return it == m_segments.end() ? std::string() : it->second.Text;
}

int TSMSProtocol::SegmentHeaderLength(int Index) const
{
    if (Index < 1 || Index > m_segmentCount)
        RaiseListIndexError(Index - 1);
    auto it = m_segments.find(Index - 1);
    return it == m_segments.end() ? 0 : it->second.HeaderLength;
}

std::vector<int> TSMSProtocol::ReceivedSequences() const
{
    std::vector<int> sequences;
    sequences.reserve(m_segments.size());
    for (const auto &[slot, segment] : m_segments)
        sequences.push_back(slot + 1);
    return sequences;
}

void TSMSProtocol::resetSegments(int count)
{
    m_segments.clear();
    m_segmentCount = count;
}

void TSMSProtocol::finishDecode(bool wasEmpty)
{
    if (wasEmpty)
        Touch();
    // The payload can only be read once complete, so it is joined only then: a payload of many
    // segments costs one join instead of one per segment.
    if (static_cast<int>(m_segments.size()) == m_segmentCount) {
        m_data = joinPayloads();
        m_state = kStateComplete;
    } else {
        m_state = kStateIncomplete;
    }
}

int TSMSProtocol2::admitSegment(unsigned destPort, unsigned sourcePort, unsigned reference, unsigned total,
                                int slotIndex, const std::string &payload)
{
    if (m_state != kStateEmpty) {
        if (destPort != m_destPort || sourcePort != m_sourcePort || reference != m_reference ||
            static_cast<int>(total) != m_segmentCount)
            return kDecodeOtherPayload;
        // A repeated segment changes nothing (its elements are not added a second time).
        if (slotFilled(slotIndex))
            return slot(slotIndex).Payload() == payload ? kDecodeAccepted : kDecodeConflict;
        return -1;
    }
    m_destPort = static_cast<uint16_t>(destPort);
    m_sourcePort = static_cast<uint16_t>(sourcePort);
    m_reference = reference;
    resetSegments(static_cast<int>(total));
    return -1;
}

std::string TSMSProtocol::joinPayloads() const
{
    std::string data;
    for (const auto &[slot, segment] : m_segments)
        data += segment.Payload();
    return data;
}

// ---------------------------------------------------------------------------------------------
// TSMSProtocol2

void TSMSProtocol2::SetSourcePort(uint16_t value)
{
    assignAndEncode(m_sourcePort, value);
}

void TSMSProtocol2::SetDestPort(uint16_t value)
{
    assignAndEncode(m_destPort, value);
}

void TSMSProtocol2::SetOptions(TSMSProtocolOptions value)
{
    assignAndEncode(m_options, value);
}

// ---------------------------------------------------------------------------------------------
// TNBS

int TNBS::HeaderLength(TSMSProtocolOptions F) const
{
    int p = 2;
    if (m_destPort != m_sourcePort || F.Contains(poConcatenation))
        p = 4;
    if (m_destPort > 255 || m_sourcePort > 255)
        p = 2 * p + 1;
    int length = 5 + p;
    if (F.Contains(poConcatenation))
        length += 6;
    if (!m_otherHeader.empty())
        length += 2 + static_cast<int>(m_otherHeader.size());
    if (!m_data.empty())
        length += 1;
    return length;
}

void TNBS::Encode()
{
    TSMSProtocolOptions f = m_options + poPortAddressing; // the ports are always written
    const int max = m_binary ? 140 : 160;
    const int dataLength = static_cast<int>(m_data.size());
    int h = HeaderLength(f);
    if (dataLength > max - h) {
        f = f + poConcatenation;
        h = HeaderLength(f);
    }
    const int size = max - h;
    if (size <= 0)
        throw EGSMError("NBS header too long");
    const int count = dataLength / size + ((dataLength == 0 || dataLength % size != 0) ? 1 : 0);
    if (count > kMaxSegments)
        throw EGSMError(Format("Payload too long for %d segments", kMaxSegments));

    const bool wide = m_destPort > 255 || m_sourcePort > 255;
    const char *portFormat = wide ? "%.4X" : "%.2X";
    resetSegments(count);
    for (int i = 1; i <= count; ++i) {
        std::string head = "//SCK";
        if (wide)
            head += "L";
        head += Format(portFormat, m_destPort);
        if (f.Contains(poConcatenation) || m_destPort != m_sourcePort)
            head += Format(portFormat, m_sourcePort);
        if (f.Contains(poConcatenation))
            head += Format("%.2X%.2X%.2X", m_reference, count, i);
        if (!m_otherHeader.empty())
            head += "//" + m_otherHeader;
        std::string piece = m_data.substr(static_cast<size_t>((i - 1) * size), static_cast<size_t>(size));
        if (!piece.empty())
            head += " ";
        const int headLength = static_cast<int>(head.size());
        const int pieceLength = static_cast<int>(piece.size());
        storeSegment(i - 1, TSegment{head + piece, headLength, pieceLength});
    }
    m_state = kStateComplete;
}

uint8_t TNBS::Decode(const std::string &S)
{
    const size_t marker = S.find("//SCK");
    if (marker == std::string::npos)
        return kDecodeNotSegment;
    // Text in front of the marker is read as the start of the port field.
    const std::string joined = S.substr(0, marker) + S.substr(marker + 5);
    std::string_view t = joined;
    if (t.empty())
        return kDecodeNotSegment;

    size_t width = 2;
    if (t.front() == 'L') {
        t.remove_prefix(1);
        width = 4;
    }
    unsigned destPort = 0, sourcePort = 0, reference = 0, total = 1, sequence = 1;
    if (!takeHex(t, width, destPort))
        return kDecodeNotSegment;
    sourcePort = destPort;
    if (!headerEnds(t) && !t.starts_with("//")) {
        if (!takeHex(t, width, sourcePort))
            return kDecodeNotSegment;
        if (!headerEnds(t) && !t.starts_with("//")) {
            unsigned tail = 0;
            if (!takeHex(t, 6, tail))
                return kDecodeNotSegment;
            reference = tail >> 16;
            total = (tail >> 8) & 0xFF;
            sequence = tail & 0xFF;
            // A segment numbered 0 or beyond the count is malformed, as is a count of 0.
            if (total == 0 || sequence == 0 || sequence > total)
                return kDecodeNotSegment;
        }
    }
    std::string otherHeader;
    if (t.starts_with("//")) {
        t.remove_prefix(2);
        const size_t space = t.find(' ');
        const size_t n = space == std::string_view::npos ? t.size() : space;
        otherHeader = std::string(t.substr(0, n));
        t.remove_prefix(n);
    }
    if (!headerEnds(t))
        return kDecodeNotSegment;
    if (!t.empty())
        t.remove_prefix(1);
    const int headerLength = static_cast<int>(S.size() - t.size());
    const std::string payload(t);
    const int slotIndex = static_cast<int>(sequence) - 1;

    const bool wasEmpty = m_state == kStateEmpty;
    if (int result = admitSegment(destPort, sourcePort, reference, total, slotIndex, payload); result >= 0)
        return static_cast<uint8_t>(result);
    m_otherHeader = otherHeader;
    storeSegment(slotIndex, TSegment{S, headerLength, static_cast<int>(payload.size())});
    finishDecode(wasEmpty);
    return kDecodeAccepted;
}

// ---------------------------------------------------------------------------------------------
// TObjectList2

TIE *TObjectList2::Items(int index) const
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    return m_items[static_cast<size_t>(index)].get();
}

void TObjectList2::Add(std::unique_ptr<TIE> item)
{
    m_items.push_back(std::move(item));
    notify();
}

void TObjectList2::Insert(int index, std::unique_ptr<TIE> item)
{
    if (index < 0 || index > Count())
        RaiseListIndexError(index);
    m_items.insert(m_items.begin() + index, std::move(item));
    notify();
}

void TObjectList2::Delete(int index)
{
    std::unique_ptr<TIE> removed = Extract(index);
    removed.reset();
    notify();
}

std::unique_ptr<TIE> TObjectList2::Extract(int index)
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    std::unique_ptr<TIE> item = std::move(m_items[static_cast<size_t>(index)]);
    m_items.erase(m_items.begin() + index);
    return item;
}

void TObjectList2::Clear()
{
    while (!m_items.empty()) {
        m_items.pop_back();
        notify();
    }
}

void TObjectList2::notify()
{
    if (m_owner)
        m_owner->Encode();
}

// ---------------------------------------------------------------------------------------------
// TUDHProtocol

TUDHProtocol::TUDHProtocol() : m_ies(this) {}

TUDHProtocol::~TUDHProtocol()
{
    // The elements are freed after this body; they must not re-encode a half-destroyed object.
    m_ies.SetOwner(nullptr);
}

void TUDHProtocol::Unlock()
{
    if (m_updateLock > 0)
        --m_updateLock;
}

bool TUDHProtocol::NextIE(bool First, int, int, TIE *&IE)
{
    if (First)
        m_ieIndex = 0;
    while (m_ieIndex < m_ies.Count()) {
        TIE *item = m_ies.Items(m_ieIndex++);
        if (item) {
            IE = item;
            return true;
        }
    }
    IE = nullptr;
    return false;
}

void TUDHProtocol::Encode()
{
    if (m_updateLock > 0)
        return;
    TSMSProtocolOptions f = m_options;
    const bool widePorts = m_destPort > 255 || m_sourcePort > 255;
    const bool wideReference = m_reference > 255;
    int capacity = kUdhCapacity;
    if (f.Contains(poPortAddressing))
        capacity -= widePorts ? 6 : 4;
    if (f.Contains(poConcatenation))
        capacity -= wideReference ? 8 : 5;

    size_t estimate = m_data.size();
    for (int i = 0; i < m_ies.Count(); ++i)
        if (TIE *ie = m_ies.Items(i))
            estimate += 2 + ie->Data().size();
    if (estimate > static_cast<size_t>(capacity) && !f.Contains(poConcatenation)) {
        f = f + poConcatenation;
        capacity -= wideReference ? 8 : 5;
    }

    // Both passes place the elements and the payload identically: the first counts the segments
    // so that every concatenation element of the second can carry the total. An element that does
    // not fit the rest of a segment is cut; its remainder opens the next segment under the same
    // identifier. Where not even the identifier, the length and one octet fit, the element moves
    // to the next segment (an empty fragment would reach the receiver as an element of its own).
    auto place = [&](auto &&breakSegment, auto &&placePart, auto &&appendPayload) {
        int free = capacity;
        TIE *ie = nullptr;
        bool first = true;
        while (NextIE(first, std::max(free - 2, 0), std::max(capacity - 2, 0), ie)) {
            first = false;
            if (!ie) {
                breakSegment(free);
                continue;
            }
            std::string_view d = ie->Data();
            for (;;) {
                if (free < 2 || (free == 2 && !d.empty())) {
                    breakSegment(free);
                    continue;
                }
                const size_t room = static_cast<size_t>(free - 2);
                const std::string_view part = d.substr(0, room);
                placePart(ie->Identifier, part);
                free -= 2 + static_cast<int>(part.size());
                d.remove_prefix(part.size());
                if (d.empty())
                    break;
                breakSegment(free);
            }
        }
        std::string_view d = m_data;
        for (;;) {
            const std::string_view part = d.substr(0, static_cast<size_t>(free));
            appendPayload(part);
            free -= static_cast<int>(part.size());
            d.remove_prefix(part.size());
            if (d.empty())
                return free;
            breakSegment(free);
        }
    };

    // Counting pass.
    int count = 1;
    place([&](int &free) { ++count, free = capacity; }, [](uint8_t, std::string_view) {},
          [](std::string_view) {});
    if (count > kMaxSegments)
        throw EGSMError(Format("Payload too long for %d segments", kMaxSegments));

    // Building pass.
    resetSegments(count);
    int seq = 1;
    std::string other, payload;
    auto flush = [&](int &free) {
        std::string h;
        if (f.Contains(poPortAddressing)) {
            if (widePorts)
                h += octet(5) + octet(4) + WordToBytes(m_destPort) + WordToBytes(m_sourcePort);
            else
                h += octet(4) + octet(2) + octet(m_destPort) + octet(m_sourcePort);
        }
        if (f.Contains(poConcatenation)) {
            if (wideReference)
                h += octet(8) + octet(4) + WordToBytes(static_cast<uint16_t>(m_reference)) + octet(count) +
                     octet(seq);
            else
                h += octet(0) + octet(3) + octet(m_reference) + octet(count) + octet(seq);
        }
        h += other;
        const int headerLength = static_cast<int>(h.size()) + 1;
        const int payloadLength = static_cast<int>(payload.size());
        storeSegment(seq - 1, TSegment{octet(static_cast<unsigned>(h.size())) + h + payload, headerLength,
                                       payloadLength});
        other.clear();
        payload.clear();
        ++seq;
        free = capacity;
    };
    int free = place(
        flush,
        [&](uint8_t identifier, std::string_view part) {
            other += octet(identifier);
            other += octet(static_cast<unsigned>(part.size()));
            other.append(part);
        },
        [&](std::string_view part) { payload.append(part); });
    if (!other.empty() || !payload.empty() || seq == 1)
        flush(free);
    m_segmentCount = seq - 1;
    m_state = kStateComplete;
}

void TUDHProtocol::Clear()
{
    // Emptying the elements one by one would re-encode after each removal and leave the segments
    // of the payload behind; a cleared object must be ready to receive another payload.
    Lock();
    m_ies.Clear();
    Unlock();
    TSMSProtocol2::Clear();
}

uint8_t TUDHProtocol::Decode(const std::string &S)
{
    TByteReader reader(S);
    uint8_t headerLength = 0;
    std::string_view header;
    if (!reader.Next(headerLength) || !takeOctets(reader, headerLength, header))
        return kDecodeNotSegment;
    const std::string payload(reader.TakeRest());

    unsigned destPort = m_destPort, sourcePort = m_sourcePort, reference = 0, total = 1, sequence = 1;
    std::vector<std::unique_ptr<TIE>> found;
    TByteReader elements(header);
    while (!elements.AtEnd()) {
        uint8_t identifier = 0, length = 0;
        std::string_view d;
        // TS 23.040 9.2.3.24: an element that runs past the header voids the header as a whole.
        if (!elements.Next(identifier) || !elements.Next(length) || !takeOctets(elements, length, d))
            return kDecodeNotSegment;
        auto at = [&d](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(d[i])); };
        // Concatenation and port elements have one length each (TS 23.040 9.2.3.24.1, .24.3,
        // .24.4, .24.8); one of another length is not used, so stray octets never become a
        // reference, a count or a port.
        switch (identifier) {
        case 0x00: // concatenation, 8-bit reference
            if (length == 3) {
                reference = at(0);
                total = at(1);
                sequence = at(2);
            }
            break;
        case 0x08: // concatenation, 16-bit reference
            if (length == 4) {
                reference = at(0) << 8 | at(1);
                total = at(2);
                sequence = at(3);
            }
            break;
        case 0x04: // application ports, 8-bit
            if (length == 2) {
                destPort = at(0);
                sourcePort = at(1);
            }
            break;
        case 0x05: // application ports, 16-bit
            if (length == 4) {
                destPort = at(0) << 8 | at(1);
                sourcePort = at(2) << 8 | at(3);
            }
            break;
        default:
            found.push_back(std::make_unique<TIE>(identifier, std::string(d)));
        }
    }
    // TS 23.040 9.2.3.24.1: a count of 0, or a sequence number of 0 or above the count, is void.
    if (total == 0 || sequence == 0 || sequence > total)
        return kDecodeNotSegment;
    const int slotIndex = static_cast<int>(sequence) - 1;

    const bool wasEmpty = m_state == kStateEmpty;
    if (int result = admitSegment(destPort, sourcePort, reference, total, slotIndex, payload); result >= 0)
        return static_cast<uint8_t>(result);
    // The elements follow segment order whatever the arrival order, so that the pieces of an
    // element cut across segments join up in the right order.
    int position = m_ies.Count();
    for (const auto &[index, stored] : m_segments)
        if (index > slotIndex)
            position -= stored.ElementCount;
    const int elementCount = static_cast<int>(found.size());
    Lock();
    for (auto &ie : found)
        m_ies.Insert(position++, std::move(ie));
    Unlock();
    storeSegment(slotIndex, TSegment{S, headerLength + 1, static_cast<int>(payload.size()), elementCount});
    finishDecode(wasEmpty);
    return kDecodeAccepted;
}

// ---------------------------------------------------------------------------------------------
// TSiemensOTA

namespace {
// "//SEO", version, packet length, reference, packet number, packet count, object size, and the
// two length octets of name and type.
constexpr int kOtaFixedHeader = 22;
constexpr int kOtaSegment = 140;
} // namespace

void TSiemensOTA::Encode()
{
    ObjectSize = static_cast<uint32_t>(m_data.size());
    const std::string name = PascalString(ObjectName);
    const std::string type = PascalString(ObjectType);
    const int overhead = kOtaFixedHeader + static_cast<int>(name.size() - 1 + type.size() - 1);
    const int capacity = kOtaSegment - overhead;
    if (capacity <= 0)
        throw EGSMError("Object name too long");
    const int64_t size = ObjectSize;
    const int64_t count = size / capacity + ((size == 0 || size % capacity != 0) ? 1 : 0);
    if (count > 0xFFFF)
        throw EGSMError(Format("Payload too long for %d segments", 0xFFFF));
    const int64_t packetSize = size / count + (size % count != 0 ? 1 : 0);

    resetSegments(static_cast<int>(count));
    for (int64_t i = 1; i <= count; ++i) {
        std::string segment = "//SEO";
        segment += octet(1);
        segment += IntToLE(packetSize, 2);
        segment += IntToLE(m_reference, 4);
        segment += IntToLE(i, 2);
        segment += IntToLE(count, 2);
        segment += IntToLE(ObjectSize, 4);
        segment += name;
        segment += type;
        const int headerLength = static_cast<int>(segment.size());
        const size_t from = static_cast<size_t>((i - 1) * packetSize);
        const std::string piece =
            from < m_data.size() ? m_data.substr(from, static_cast<size_t>(packetSize)) : "";
        segment += piece;
        segment.append(static_cast<size_t>(packetSize) - piece.size(), '\0');
        // The stored payload length is that of the unpadded piece.
        storeSegment(static_cast<int>(i - 1),
                     TSegment{segment, headerLength, static_cast<int>(piece.size())});
    }
    m_state = kStateComplete;
}

uint8_t TSiemensOTA::Decode(const std::string &S)
{
    const size_t marker = S.find("//SEO");
    if (marker == std::string::npos || S.size() - marker <= static_cast<size_t>(kOtaFixedHeader))
        return kDecodeNotSegment;
    TByteReader r(std::string_view(S).substr(marker + 5));
    uint8_t version = 0;
    uint32_t packetLength = 0, reference = 0, packet = 0, packets = 0, objectSize = 0;
    if (!r.Next(version) || version != 1 || !takeLittleEndian(r, 2, packetLength) ||
        !takeLittleEndian(r, 4, reference) || !takeLittleEndian(r, 2, packet) ||
        !takeLittleEndian(r, 2, packets) || !takeLittleEndian(r, 4, objectSize))
        return kDecodeNotSegment;
    uint8_t nameLength = 0, typeLength = 0;
    std::string_view name, type, piece;
    if (!r.Next(nameLength) || nameLength == 0 || !takeOctets(r, nameLength, name) || r.AtEnd() ||
        !r.Next(typeLength) || typeLength == 0 || !takeOctets(r, typeLength, type) ||
        !takeOctets(r, packetLength, piece))
        return kDecodeNotSegment;
    // A packet numbered 0 or beyond the count is malformed. Every packet carries at least one
    // octet of the object, so the object size bounds the count a sender can claim.
    if (packets == 0 || packet == 0 || packet > packets || packets > std::max<uint32_t>(objectSize, 1))
        return kDecodeNotSegment;
    const int headerLength = static_cast<int>(S.size() - r.Remaining() - piece.size());
    const int slotIndex = static_cast<int>(packet) - 1;

    if (m_state != kStateEmpty) {
        if (name != ObjectName || type != ObjectType || reference != m_reference ||
            static_cast<int>(packets) != m_segmentCount || objectSize != ObjectSize)
            return kDecodeOtherPayload;
        if (slotFilled(slotIndex))
            return slot(slotIndex).Payload() == piece ? kDecodeAccepted : kDecodeConflict;
    }
    const bool wasEmpty = m_state == kStateEmpty;
    if (wasEmpty) {
        m_reference = reference;
        ObjectSize = objectSize;
        ObjectName = std::string(name);
        ObjectType = std::string(type);
        resetSegments(static_cast<int>(packets));
    }
    storeSegment(slotIndex, TSegment{S, headerLength, static_cast<int>(packetLength)});
    finishDecode(wasEmpty);
    return kDecodeAccepted;
}

std::string TSiemensOTA::joinPayloads() const
{
    std::string data = TSMSProtocol::joinPayloads();
    if (data.size() > ObjectSize)
        data.resize(ObjectSize); // the padding of the last packet
    return data;
}

} // namespace kestrel
