// User-data protocols: the envelopes that carry one payload over one or more short messages.
//
// TNBS is the narrowband-socket text header ("//SCK..."), TUDHProtocol the binary user data header
// of TS 23.040 9.2.3.24 with its information elements, TSiemensOTA the Siemens OTA object header
// ("//SEO..."). One object stands for one payload. Sending: set ports, options, reference and the
// payload; every setter re-encodes, so the segments are ready after the last one. Receiving: offer
// each segment's user data to Decode, which checks that it belongs to this payload, stores it and
// reassembles the payload once every segment is present.
#pragma once

#include "base/datetime.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Result codes of Decode.
constexpr uint8_t kDecodeAccepted = 0;     // stored, or identical to the segment already stored
constexpr uint8_t kDecodeNotSegment = 1;   // not a segment of this protocol, or malformed
constexpr uint8_t kDecodeOtherPayload = 2; // other ports, reference or segment count
constexpr uint8_t kDecodeConflict = 3;     // a different segment with the same number is stored

// Protocol states.
constexpr uint8_t kStateEmpty = 0;
constexpr uint8_t kStateComplete = 1;
constexpr uint8_t kStateIncomplete = 2;

enum TSMSProtocolOption : uint8_t { poPortAddressing = 0, poConcatenation = 1 };

// A set of TSMSProtocolOption in one octet (bit n = option n).
class TSMSProtocolOptions {
public:
    constexpr TSMSProtocolOptions() = default;
    constexpr TSMSProtocolOptions(std::initializer_list<TSMSProtocolOption> options)
    {
        for (auto o : options)
            m_bits |= static_cast<uint8_t>(1u << o);
    }
    static constexpr TSMSProtocolOptions FromBits(uint8_t bits)
    {
        TSMSProtocolOptions r;
        r.m_bits = bits & 3;
        return r;
    }
    constexpr uint8_t Bits() const { return m_bits; }
    constexpr bool Contains(TSMSProtocolOption o) const { return (m_bits >> o) & 1; }
    constexpr TSMSProtocolOptions operator+(TSMSProtocolOption o) const
    {
        return FromBits(static_cast<uint8_t>(m_bits | (1u << o)));
    }
    constexpr bool operator==(const TSMSProtocolOptions &) const = default;

private:
    uint8_t m_bits = 0;
};

// Base of the user-data protocols: the payload, its segments and the reassembly state.
class TSMSProtocol {
public:
    // One segment as sent or received: header and payload in Text. HeaderLength counts the
    // header octets; PayloadLength the payload octets after it (a Siemens OTA packet may be
    // padded, so the payload is not always the rest of Text).
    struct TSegment {
        std::string Text;
        int HeaderLength = 0;
        int PayloadLength = 0;
        int ElementCount = 0; // information elements it added to a TUDHProtocol
        std::string Payload() const;
    };

    TSMSProtocol() = default;
    virtual ~TSMSProtocol() = default;
    TSMSProtocol(const TSMSProtocol &) = delete;
    TSMSProtocol &operator=(const TSMSProtocol &) = delete;

    // Rebuilds the segments from the fields.
    virtual void Encode() = 0;
    // Forgets every segment; State becomes 0.
    virtual void Clear();
    // Offers one received segment; returns one of the kDecode... codes. Any byte string is safe.
    virtual uint8_t Decode(const std::string &S) = 0;

    // The payload; raises EGSMError "NBS not complete" while segments are missing.
    const std::string &Data() const;
    void SetData(const std::string &value);
    void CheckComplete() const;

    uint8_t State() const { return m_state; }
    uint32_t Reference() const { return m_reference; }
    void SetReference(uint32_t value);
    // Time the first segment of a received payload arrived (UTC).
    TDateTime Timestamp() const { return m_timestamp; }
    void SetTimestamp(TDateTime value) { m_timestamp = value; }
    void Touch();

    int SegmentCount() const { return m_segmentCount; }
    // Segment Index (from 1), header and payload; empty while not received. Raises EListError
    // outside 1..SegmentCount.
    std::string GetSegment(int Index) const;
    // Header length of segment Index (from 1); 0 while not received.
    int SegmentHeaderLength(int Index) const;
    int ReceivedCount() const { return static_cast<int>(m_segments.size()); }
    // Numbers (from 1) of the segments present, ascending.
    std::vector<int> ReceivedSequences() const;

protected:
    // Stores a field and re-encodes; when the encoding fails the field keeps its old value, so
    // the segments always match the fields.
    template <class T>
    void assignAndEncode(T &field, const T &value)
    {
        if (field == value)
            return;
        T old = field;
        field = value;
        try {
            Encode();
        } catch (...) {
            field = std::move(old);
            throw;
        }
    }
    // Slots are kept sparse: a hostile header may announce thousands of packets, and only those
    // that actually arrive cost memory.
    void resetSegments(int count);
    bool slotFilled(int slot) const { return m_segments.count(slot) != 0; }
    const TSegment &slot(int slot) const { return m_segments.at(slot); }
    void storeSegment(int slot, TSegment segment) { m_segments[slot] = std::move(segment); }
    // After a segment was stored: the state, and the payload once it is complete.
    void finishDecode(bool wasEmpty);
    virtual std::string joinPayloads() const;

    std::string m_data;
    std::map<int, TSegment> m_segments; // slot (from 0) -> segment
    int m_segmentCount = 0;
    uint8_t m_state = kStateEmpty;
    uint32_t m_reference = 0;
    TDateTime m_timestamp = 0;
};

// A protocol with application ports.
class TSMSProtocol2 : public TSMSProtocol {
public:
    uint16_t SourcePort() const { return m_sourcePort; }
    void SetSourcePort(uint16_t value);
    uint16_t DestPort() const { return m_destPort; }
    void SetDestPort(uint16_t value);
    TSMSProtocolOptions Options() const { return m_options; }
    void SetOptions(TSMSProtocolOptions value);

protected:
    // The common first step of a ported protocol's Decode: a segment of another payload (ports,
    // reference, count) or a repeat of a stored one ends the decode with that result; otherwise
    // an empty object takes the payload's identity and -1 says go on.
    int admitSegment(unsigned destPort, unsigned sourcePort, unsigned reference, unsigned total,
                     int slotIndex, const std::string &payload);

    uint16_t m_sourcePort = 0;
    uint16_t m_destPort = 0;
    TSMSProtocolOptions m_options;
};

// Narrowband-socket text header: "//SCK" [L] dest [source [ref count seq]] ["//" other] " " data.
// The reference is written as two hexadecimal digits, so a sending object keeps it below 256.
class TNBS : public TSMSProtocol2 {
public:
    void Encode() override;
    uint8_t Decode(const std::string &S) override;

    // Characters of one segment's header for the flags F (with the separating space when there is
    // a payload).
    int HeaderLength(TSMSProtocolOptions F) const;

    // Segment budget 140 characters instead of 160.
    bool Binary() const { return m_binary; }
    void SetBinary(bool value) { m_binary = value; }
    // Text that follows a second "//" inside the header.
    const std::string &OtherHeader() const { return m_otherHeader; }
    void SetOtherHeader(const std::string &value) { m_otherHeader = value; }

private:
    bool m_binary = false;
    std::string m_otherHeader;
};

// One information element of a user data header.
class TIE {
public:
    static constexpr size_t kMaxData = 255; // the length octet

    TIE() = default;
    TIE(uint8_t identifier, const std::string &data) : Identifier(identifier) { SetData(data); }
    virtual ~TIE() = default;

    uint8_t Identifier = 0;
    const std::string &Data() const { return m_data; }
    // Keeps at most the first 255 octets.
    void SetData(const std::string &value) { m_data = value.substr(0, kMaxData); }

private:
    std::string m_data;
};

class TUDHProtocol;

// The information elements of a TUDHProtocol: owns its items and re-encodes its owner after
// every change.
class TObjectList2 {
public:
    explicit TObjectList2(TSMSProtocol *owner = nullptr) : m_owner(owner) {}
    TObjectList2(const TObjectList2 &) = delete;
    TObjectList2 &operator=(const TObjectList2 &) = delete;

    TSMSProtocol *Owner() const { return m_owner; }
    void SetOwner(TSMSProtocol *owner) { m_owner = owner; }

    int Count() const { return static_cast<int>(m_items.size()); }
    // Raises EListError outside 0..Count-1.
    TIE *Items(int index) const;
    TIE *operator[](int index) const { return Items(index); }
    void Add(std::unique_ptr<TIE> item);
    void Insert(int index, std::unique_ptr<TIE> item);
    void Delete(int index);
    // Removes the items one by one (each removal re-encodes the owner).
    void Clear();
    std::unique_ptr<TIE> Extract(int index);

private:
    void notify();

    TSMSProtocol *m_owner; // not owned
    std::vector<std::unique_ptr<TIE>> m_items;
};

// Binary user data header (TS 23.040 9.2.3.24): port and concatenation elements built from the
// fields, other elements from IEs, cut across segments where they do not fit.
// A reference above 255 is sent in the 16-bit element (TS 23.040 9.2.3.24.8), so it stays below
// 65536.
class TUDHProtocol : public TSMSProtocol2 {
public:
    TUDHProtocol();
    ~TUDHProtocol() override;

    void Encode() override;
    void Clear() override;
    uint8_t Decode(const std::string &S) override;
    // Walks the elements to place: First restarts the walk. Free is the room left in the current
    // segment, Capacity the room of an empty one (a descendant may use them to choose what fits).
    // Returns false at the end; true with a null IE forces a segment break.
    virtual bool NextIE(bool First, int Free, int Capacity, TIE *&IE);

    TObjectList2 &IEs() { return m_ies; }
    const TObjectList2 &IEs() const { return m_ies; }
    // Encode does nothing while the lock is above 0.
    uint8_t UpdateLock() const { return m_updateLock; }
    void Lock() { ++m_updateLock; }
    void Unlock();

private:
    TObjectList2 m_ies;
    int m_ieIndex = 0;
    uint8_t m_updateLock = 0;
};

// Siemens OTA object: "//SEO", version, packet length, reference, packet number, packet count,
// object size (least significant octet first), object name and type, packet data.
class TSiemensOTA : public TSMSProtocol {
public:
    void Encode() override;
    uint8_t Decode(const std::string &S) override;

    std::string ObjectName;
    std::string ObjectType;
    uint32_t ObjectSize = 0;

protected:
    std::string joinPayloads() const override;
};

// Two octets, high first.
std::string WordToBytes(uint16_t W);
// N octets, least significant first.
std::string IntToLE(int64_t V, int N);
// One length octet and S cut to 255 octets.
std::string PascalString(const std::string &S);

} // namespace kestrel
