#include "xsms/smartmessage.h"

#include "gsm/bytereader.h"
#include "gsm/gsmerror.h"
#include "xsms/otabitmap.h"
#include "xsms/payloadkind.h"
#include "xsms/ringtone.h"

namespace kestrel {

std::unique_ptr<TSmartMessage> TSmartMessage::CreateFromPort(const std::string &data, uint16_t port)
{
    std::unique_ptr<TSmartMessage> message;
    switch (PayloadKindOfPort(port)) {
    case TPayloadKind::pkVCard:
        message = std::make_unique<TSMvCard>();
        break;
    case TPayloadKind::pkVCalendar:
        message = std::make_unique<TSMvCalendar>();
        break;
    case TPayloadKind::pkRingtone:
        message = std::make_unique<TSMRingingTone>();
        break;
    case TPayloadKind::pkOperatorLogo:
        message = std::make_unique<TSMOperatorLogo>();
        break;
    case TPayloadKind::pkCLIIcon:
        message = std::make_unique<TSMCLIIcon>();
        break;
    case TPayloadKind::pkMultipart:
        message = std::make_unique<TSMMultipartMessage>();
        break;
    default:
        return nullptr;
    }
    message->SetData(data); // a failure destroys the half-parsed object on the way out
    return message;
}

TSMMIMEDirectory::TSMMIMEDirectory()
{
    Records.SetValues("VERSION", "2.1");
}

std::string TSMTextUnicode::GetData() const
{
    std::string out;
    out.reserve(static_cast<size_t>(Text.size()) * 2);
    for (QChar c : Text) {
        out.push_back(static_cast<char>(c.unicode() >> 8));
        out.push_back(static_cast<char>(c.unicode() & 0xFF));
    }
    return out;
}

void TSMTextUnicode::SetData(const std::string &data)
{
    // UCS-2, high octet first; an odd last octet is the high octet of a last character.
    Text.clear();
    for (size_t i = 0; i < data.size(); i += 2) {
        const auto high = static_cast<uint8_t>(data[i]);
        const uint8_t low = i + 1 < data.size() ? static_cast<uint8_t>(data[i + 1]) : 0;
        Text.append(QChar(static_cast<char16_t>(high << 8 | low)));
    }
}

namespace {

// Multipart item types.
constexpr uint8_t kItemTextISO = 0;
constexpr uint8_t kItemTextUnicode = 1;
constexpr uint8_t kItemBitmap = 2;
constexpr uint8_t kItemRingingTone = 3;
constexpr uint8_t kItemProfile = 4;
constexpr uint8_t kItemScreenSaver = 6;

[[noreturn]] void badMultipart()
{
    throw EGSMError("Unsupported or bad multipart format");
}

} // namespace

std::unique_ptr<TSmartMessage> TSMMultipartMessage::CreateItem(uint8_t type)
{
    switch (type) {
    case kItemTextISO:
        return std::make_unique<TSMTextISO>();
    case kItemTextUnicode:
        return std::make_unique<TSMTextUnicode>();
    case kItemBitmap:
        return std::make_unique<TSMOTABitmap>();
    case kItemRingingTone:
        return std::make_unique<TSMRingingTone>();
    case kItemProfile:
        return std::make_unique<TSMProfile>();
    case kItemScreenSaver:
        return std::make_unique<TSMScreenSaver>();
    default: {
        auto unknown = std::make_unique<TSMUnknown>();
        unknown->ItemType = type;
        return unknown;
    }
    }
}

uint8_t TSMMultipartMessage::ItemTypeOf(const TSmartMessage &item)
{
    // The first match wins: a screen saver is also a bitmap, a profile also unicode text.
    if (dynamic_cast<const TSMScreenSaver *>(&item))
        return kItemScreenSaver;
    if (dynamic_cast<const TSMOTABitmap *>(&item))
        return kItemBitmap;
    if (dynamic_cast<const TSMRingingTone *>(&item))
        return kItemRingingTone;
    if (dynamic_cast<const TSMProfile *>(&item))
        return kItemProfile;
    if (dynamic_cast<const TSMTextISO *>(&item))
        return kItemTextISO;
    if (dynamic_cast<const TSMTextUnicode *>(&item))
        return kItemTextUnicode;
    if (const auto *unknown = dynamic_cast<const TSMUnknown *>(&item))
        return unknown->ItemType;
    throw EGSMError("Unsupported multipart type");
}

std::string TSMMultipartMessage::GetData() const
{
    std::string out = "0";
    for (const auto &item : Items) {
        if (!item)
            continue;
        const uint8_t type = ItemTypeOf(*item);
        const std::string data = item->GetData();
        // The item length is a 16-bit field; a longer item cannot be described.
        if (data.size() > 0xFFFF)
            throw EGSMError("Multipart item too long");
        out.push_back(static_cast<char>(type));
        out.push_back(static_cast<char>(data.size() >> 8));
        out.push_back(static_cast<char>(data.size() & 0xFF));
        out += data;
    }
    return out;
}

void TSMMultipartMessage::SetData(const std::string &data)
{
    if (data.empty() || data[0] != '0')
        badMultipart();
    Items.clear();
    TByteReader reader(data);
    reader.Skip(1);
    while (!reader.AtEnd()) {
        const auto header = reader.Take(3);
        if (!header)
            badMultipart();
        auto item = CreateItem(static_cast<uint8_t>((*header)[0]));
        const size_t n =
            static_cast<size_t>(static_cast<uint8_t>((*header)[1])) << 8 | static_cast<uint8_t>((*header)[2]);
        // An item cut short by the end of the payload gets what there is.
        item->SetData(std::string(reader.TakeUpTo(n)));
        Items.push_back(std::move(item));
    }
}

} // namespace kestrel
