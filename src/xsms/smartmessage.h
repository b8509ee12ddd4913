// Smart messaging payloads: objects carried in the user data of short messages and addressed by
// destination port. Each class converts between its model and the payload byte string (one char
// per octet) in both directions; the user-data protocols add and strip the headers around it.
#pragma once

#include "xsms/directoryrecords.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Destination ports of the smart messaging payloads (16-bit application ports). The user-data
// protocol layer carries ports as plain numbers; these name the ones the kinds of payload
// (xsms/payloadkind.h) and so the payload factory know.
constexpr uint16_t kSMPortvCard = 226;     // 0xE2
constexpr uint16_t kSMPortvCalendar = 228; // 0xE4
constexpr uint16_t kSMPortWapvCard = 9204; // 0x23F4, the WAP registered ports
constexpr uint16_t kSMPortWapvCalendar = 9205;
constexpr uint16_t kSMPortWapvCardSecure = 9206;
constexpr uint16_t kSMPortWapvCalendarSecure = 9207;
constexpr uint16_t kSMPortRingingTone = 5505;  // 0x1581
constexpr uint16_t kSMPortOperatorLogo = 5506; // 0x1582
constexpr uint16_t kSMPortCLIIcon = 5507;      // 0x1583
constexpr uint16_t kSMPortMultipart = 5514;    // 0x158A, picture messages

// Base of every payload class. Data maps to GetData/SetData.
class TSmartMessage {
public:
    TSmartMessage() = default;
    virtual ~TSmartMessage() = default;
    TSmartMessage(const TSmartMessage &) = delete;
    TSmartMessage &operator=(const TSmartMessage &) = delete;

    virtual std::string GetData() const = 0;
    // Replaces the content by parsing the payload; raises EGSMError on a malformed payload.
    virtual void SetData(const std::string &data) = 0;
    std::string Data() const { return GetData(); }

    // The class name shown in logs (" SmartMessage:TSMvCard") and descriptions.
    virtual const char *ClassName() const = 0;

    // Creates the class of a destination port's kind and parses the payload into it. Unknown ports give
    // nothing without looking at the data; a parse failure destroys the object and propagates.
    static std::unique_ptr<TSmartMessage> CreateFromPort(const std::string &data, uint16_t port);
};

// A MIME directory (vCard, vCalendar) as a list of records.
class TSMMIMEDirectory : public TSmartMessage {
public:
    TSMMIMEDirectory();
    TDirectoryRecords Records;

    std::string GetData() const override { return Records.Data(); }
    void SetData(const std::string &data) override { Records.SetData(data); }
    const char *ClassName() const override { return "TSMMIMEDirectory"; }
};

class TSMvCard : public TSMMIMEDirectory {
public:
    TSMvCard() { Records.Kind = "VCARD"; }
    const char *ClassName() const override { return "TSMvCard"; }
};

class TSMvCalendar : public TSMMIMEDirectory {
public:
    TSMvCalendar() { Records.Kind = "VCALENDAR"; }
    const char *ClassName() const override { return "TSMvCalendar"; }
};

// 8-bit text, carried unchanged.
class TSMTextISO : public TSmartMessage {
public:
    std::string Text;
    std::string GetData() const override { return Text; }
    void SetData(const std::string &data) override { Text = data; }
    const char *ClassName() const override { return "TSMTextISO"; }
};

// UCS-2 text, two octets per character, high octet first.
class TSMTextUnicode : public TSmartMessage {
public:
    QString Text;
    std::string GetData() const override;
    void SetData(const std::string &data) override;
    const char *ClassName() const override { return "TSMTextUnicode"; }
};

// A profile name: UCS-2 text under its own multipart item type.
class TSMProfile : public TSMTextUnicode {
public:
    const char *ClassName() const override { return "TSMProfile"; }
};

// A multipart item of a type this system does not interpret, kept byte for byte.
class TSMUnknown : public TSmartMessage {
public:
    std::string RawData;
    uint8_t ItemType = 0;
    std::string GetData() const override { return RawData; }
    void SetData(const std::string &data) override { RawData = data; }
    const char *ClassName() const override { return "TSMUnknown"; }
};

// "0" followed by items of type, 16-bit length and data. Owns its items; a null item is skipped
// when rendering.
class TSMMultipartMessage : public TSmartMessage {
public:
    std::vector<std::unique_ptr<TSmartMessage>> Items;

    std::string GetData() const override;
    void SetData(const std::string &data) override;
    const char *ClassName() const override { return "TSMMultipartMessage"; }

    // The item class of a multipart type byte (unknown types give a TSMUnknown of that type).
    static std::unique_ptr<TSmartMessage> CreateItem(uint8_t type);
    // The type byte of an item; raises "Unsupported multipart type" for a class without one.
    static uint8_t ItemTypeOf(const TSmartMessage &item);
};

} // namespace kestrel
