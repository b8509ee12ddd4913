#include "xsms/composer.h"

#include "base/format.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/emslayout.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"

#include <algorithm>
#include <string_view>

namespace kestrel {

namespace {

// TS 23.040 9.2.3.16 and 9.2.3.24: a message carries 160 septets or 140 octets; the 8-bit
// concatenation element with its header length octet takes 6 of them.
constexpr size_t kMaxSeptets = 160;
constexpr size_t kMaxUCS2Units = 70;
constexpr size_t kConcatHeaderOctets = 6;
constexpr size_t kConcatSeptets = kMaxSeptets - HeaderSeptets(kConcatHeaderOctets); // 153
constexpr size_t kConcatUCS2Units = (140 - kConcatHeaderOctets) / 2;                // 67
// The concatenation element counts segments in one octet.
constexpr size_t kMaxSegments = 255;

constexpr int kFirstOctetStatusReport = 5;
constexpr int kFirstOctetUDHI = 6;

// The window's 8-bit text: ISO 8859-1, with the euro sign where the default alphabet keeps it.
// Characters that have no such octet give false.
bool toEightBit(const QString &text, std::string &out)
{
    bool all = true;
    out.clear();
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == 0x20AC)
            out += '\x80';
        else if (u < 0x100 && !(u >= 0x80 && u < 0xA0))
            out += static_cast<char>(u);
        else {
            out += '?';
            all = false;
        }
    }
    return all;
}

std::string eightBit(const QString &text)
{
    std::string out;
    toEightBit(text, out);
    return out;
}

std::unique_ptr<TSMSSubmit> makeSubmit(const ISMSContext *gsm, const std::string &da, std::string userData,
                                       uint8_t dcs, bool udhi, bool statusReport)
{
    auto sms = std::make_unique<TSMSSubmit>();
    sms->GSM = gsm;
    sms->DA = da;
    sms->UserData = std::move(userData);
    sms->DCS = dcs;
    sms->SetFirstOctetBit(kFirstOctetStatusReport, statusReport);
    sms->SetFirstOctetBit(kFirstOctetUDHI, udhi);
    return sms;
}

// Cuts units into pieces of at most Size, never between the two halves of a pair (an escape and
// its code, a surrogate pair).
template <class S, class IsPairStart>
std::vector<S> splitUnits(const S &units, size_t size, IsPairStart isPairStart)
{
    std::vector<S> pieces;
    size_t i = 0;
    while (i < units.size()) {
        size_t end = i;
        while (end < units.size()) {
            const size_t step = isPairStart(units, end) ? 2 : 1;
            if (end + step - i > size)
                break;
            end += step;
        }
        pieces.push_back(units.substr(i, end - i));
        i = end;
    }
    if (pieces.size() > kMaxSegments)
        throw EGSMError("Message too long");
    return pieces;
}

// TS 23.040 9.2.3.24.1: 8-bit reference, number of segments, sequence from 1.
std::string concatHeader(uint8_t reference, size_t count, size_t seq)
{
    return {5, 0, 3, static_cast<char>(reference), static_cast<char>(count), static_cast<char>(seq)};
}

// The ports and the class of a smart message, filled from the content.
struct TSmartPayload {
    std::unique_ptr<TSmartMessage> object;
    uint16_t port = 0;
};

// The vCard of the content. As 7-bit text its values are the window's 8-bit text, which the
// default alphabet carries. As 8-bit data a value beyond ASCII says its character set (vCard 2.1
// CHARSET): ISO 8859-1 when it has every character, else UTF-8, so no character is lost.
std::string vCardPayload(const TMessageContent &c, bool eightBitData)
{
    TSMvCard card;
    auto set = [&](const char *name, const QString &value) {
        if (!eightBitData) {
            card.Records.SetValues(name, eightBit(value));
            return;
        }
        bool ascii = true, latin1 = true;
        for (QChar ch : value) {
            ascii = ascii && ch.unicode() < 0x80;
            latin1 = latin1 && ch.unicode() < 0x100;
        }
        const QByteArray bytes = latin1 ? value.toLatin1() : value.toUtf8();
        card.Records.SetValues(name, bytes.toStdString());
        const int index = card.Records.IndexOfName(name);
        if (index >= 0 && !ascii)
            card.Records.Parameters(index).push_back(latin1 ? "CHARSET=ISO-8859-1" : "CHARSET=UTF-8");
    };
    set("N", c.vCardName);
    set("TEL", c.vCardPhone);
    return card.GetData();
}

void fillBitmap(TSMOTABitmap &bitmap, const TMessageContent &c)
{
    bitmap.SetAnimationCount(c.AnimationCount);
    const int frames = bitmap.FrameCount();
    bitmap.SetWidth(c.Width > 0 ? c.Width : c.Picture.width() / frames);
    bitmap.SetHeight(c.Height > 0 ? c.Height : c.Picture.height());
    bitmap.LoadFrames(c.Picture);
}

TSmartPayload smartPayload(const TMessageContent &c)
{
    TSmartPayload p;
    switch (c.Kind) {
    case TMessageKind::mkPicture: {
        auto picture = std::make_unique<TSMOTABitmap>();
        fillBitmap(*picture, c);
        // A picture message is a multipart message: the optional text first, then the picture.
        auto multipart = std::make_unique<TSMMultipartMessage>();
        // Smart messaging has no text formatting: blink marks are dropped, not sent as characters.
        QString caption = c.Text;
        TakeBlinkMarkers(caption);
        if (!caption.isEmpty()) {
            auto text = std::make_unique<TSMTextISO>();
            text->Text = eightBit(caption);
            multipart->Items.push_back(std::move(text));
        }
        multipart->Items.push_back(std::move(picture));
        p.object = std::move(multipart);
        p.port = kSMPortMultipart;
        break;
    }
    case TMessageKind::mkOperatorLogo: {
        auto logo = std::make_unique<TSMOperatorLogo>();
        fillBitmap(*logo, c);
        const int v = c.Operator < 0 ? 0 : c.Operator;
        logo->MCC = static_cast<uint16_t>(v / 100);
        logo->MNC = static_cast<uint8_t>(v % 100);
        p.object = std::move(logo);
        p.port = kSMPortOperatorLogo;
        break;
    }
    case TMessageKind::mkCLIIcon: {
        auto icon = std::make_unique<TSMCLIIcon>();
        fillBitmap(*icon, c);
        p.object = std::move(icon);
        p.port = kSMPortCLIIcon;
        break;
    }
    case TMessageKind::mkRingingTone: {
        auto tone = std::make_unique<TSMRingingTone>();
        BuildRingingTone(*tone, c.Melody);
        p.object = std::move(tone);
        p.port = kSMPortRingingTone;
        break;
    }
    default:
        break;
    }
    return p;
}

// The EMS objects of the content; a variable picture too large for one message becomes strips
// that each fit one.
std::vector<std::unique_ptr<TEMSObject>> emsObjects(const TMessageContent &c)
{
    std::vector<std::unique_ptr<TEMSObject>> objects;
    auto picture = [&](std::unique_ptr<TEMSPicture> object) {
        object->SetWidth(c.Width > 0 ? c.Width : c.Picture.width());
        object->SetHeight(c.Height > 0 ? c.Height : c.Picture.height());
        object->LoadImage(c.Picture);
        return object;
    };
    auto animation = [&](std::unique_ptr<TEMSAnimation> object) {
        object->SetWidth(c.Width);
        object->SetHeight(c.Height);
        object->LoadFrames(c.Picture);
        return object;
    };
    switch (c.Kind) {
    case TMessageKind::mkEMSPictureSmall:
        objects.push_back(picture(std::make_unique<TEMSPictureSmall>()));
        break;
    case TMessageKind::mkEMSPictureLarge:
        objects.push_back(picture(std::make_unique<TEMSPictureLarge>()));
        break;
    case TMessageKind::mkEMSPictureVariable: {
        auto whole = picture(std::make_unique<TEMSPictureVariable>());
        for (auto &strip : static_cast<TEMSPictureVariable &>(*whole).SplitRows(kMaxEMSElementData))
            objects.push_back(std::move(strip));
        break;
    }
    case TMessageKind::mkEMSAnimationSmall:
        objects.push_back(animation(std::make_unique<TEMSAnimationSmall>()));
        break;
    case TMessageKind::mkEMSAnimationLarge:
        objects.push_back(animation(std::make_unique<TEMSAnimationLarge>()));
        break;
    case TMessageKind::mkEMSMelody: {
        auto sound = std::make_unique<TEMSSoundUserDef>();
        BuildIMelody(*sound, c.Melody);
        objects.push_back(std::move(sound));
        break;
    }
    default:
        break;
    }
    return objects;
}

// How the characters of a text are written into the user data.
enum class TCharacterCoding { cc7Bit, cc8Bit, ccUCS2 };

// Each character of Text in its encoded form, as the EMS layout counts them (a surrogate pair is one
// character); Ranges move from positions in Text to positions among the characters.
std::vector<std::string> encodeCharacters(const QString &text, TCharacterCoding coding,
                                          std::vector<TTextRange> &ranges)
{
    std::vector<std::string> chars;
    std::vector<int> index(static_cast<size_t>(text.size()) + 1, 0);
    for (qsizetype i = 0; i < text.size(); ++i) {
        index[static_cast<size_t>(i)] = static_cast<int>(chars.size());
        const QChar c = text[i];
        if (coding == TCharacterCoding::ccUCS2) {
            std::u16string units(1, c.unicode());
            if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
                units += text[++i].unicode();
                index[static_cast<size_t>(i)] = static_cast<int>(chars.size());
            }
            chars.push_back(WideToUCS2(units));
        } else if (coding == TCharacterCoding::cc7Bit) {
            std::string codes;
            if (!UnicodeToGSMCodes(QString(c), codes))
                codes = TextToGSM(eightBit(QString(c)));
            chars.push_back(codes);
        } else {
            chars.push_back(eightBit(QString(c)));
        }
    }
    index.back() = static_cast<int>(chars.size());
    for (TTextRange &r : ranges) {
        const int end = index[static_cast<size_t>(r.Start + r.Length)];
        r.Start = index[static_cast<size_t>(r.Start)];
        r.Length = end - r.Start;
    }
    return chars;
}

std::vector<std::unique_ptr<TSMSSubmit>> submitsOf(const TEMSSegments &parts, const ISMSContext *gsm,
                                                   const std::string &da, uint8_t reference, uint8_t dcs,
                                                   bool statusReport)
{
    std::vector<std::unique_ptr<TSMSSubmit>> out;
    for (size_t i = 0; i < parts.Segments.size(); ++i)
        out.push_back(makeSubmit(gsm, da, parts.UserData(i, reference), dcs, true, statusReport));
    return out;
}

bool isEMS(TMessageKind kind)
{
    return kind >= TMessageKind::mkEMSPictureSmall;
}

} // namespace

bool TMessageComposer::FitsDefaultAlphabet(const QString &Text)
{
    std::string codes;
    return UnicodeToGSMCodes(Text, codes);
}

std::string OutgoingRefusal(const std::string &Destination, const TMessageContent &Content)
{
    // TS 23.040 9.1.2.5: an address value holds at most 20 digits.
    constexpr size_t kMaxDigits = 20;
    const std::string_view digits =
        std::string_view(Destination)
            .substr(Destination.starts_with('+') || Destination.starts_with('#') ? 1 : 0);
    if (Destination.empty())
        return "no destination number given";
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Format(
            "the destination \"%s\" is no phone number (digits, with + in front of an international "
            "one)",
            Destination.c_str());
    if (digits.size() > kMaxDigits)
        return Format("the destination \"%s\" has more than %d digits", Destination.c_str(),
                      static_cast<int>(kMaxDigits));
    const bool text = Content.Kind == TMessageKind::mkText || Content.Kind == TMessageKind::mkUCS2Text;
    if (text && Content.Text.isEmpty())
        return "the message is empty: give it a text";
    if (Content.Kind == TMessageKind::mkvCard && Content.vCardName.isEmpty() && Content.vCardPhone.isEmpty())
        return "the vCard is empty: give it a name or a number";
    return {};
}

std::vector<std::unique_ptr<TSMSSubmit>>
TMessageComposer::Compose(const std::string &DA, const TMessageContent &Content, const ISMSContext *GSM)
{
    if (const std::string refusal = OutgoingRefusal(DA, Content); !refusal.empty())
        throw EGSMError(refusal);
    return compose(DA, Content, GSM, ReferenceCounter);
}

int TMessageComposer::MessageCount(const TMessageContent &Content) const
{
    uint32_t counter = ReferenceCounter;
    return static_cast<int>(compose("", Content, nullptr, counter).size());
}

std::vector<std::unique_ptr<TSMSSubmit>> TMessageComposer::compose(const std::string &DA,
                                                                   const TMessageContent &Content,
                                                                   const ISMSContext *GSM,
                                                                   uint32_t &counter) const
{
    std::vector<std::unique_ptr<TSMSSubmit>> out;
    const int messageClass = Content.MessageClass & 3;

    if (Content.Kind == TMessageKind::mkText || Content.Kind == TMessageKind::mkUCS2Text) {
        QString text = Content.Text;
        std::vector<TTextRange> blink = TakeBlinkMarkers(text);
        uint8_t dcs = static_cast<uint8_t>(kDCS7BitClass + messageClass);
        bool ucs2 = Content.Kind == TMessageKind::mkUCS2Text;
        if (text.contains(QChar(kUCS2Marker))) {
            // The guillemet asks for UCS2, flagged to the receiver by a leading 0x01 character.
            text.prepend(QChar(kUCS2Prefix));
            for (TTextRange &r : blink)
                ++r.Start;
            dcs = kDCSUCS2Class;
            ucs2 = true;
        } else if (ucs2 || !FitsDefaultAlphabet(text)) {
            // Characters the default alphabet lacks would be dropped: UCS2 keeps them.
            dcs = static_cast<uint8_t>(kDCSUCS2Class + messageClass);
            ucs2 = true;
        }
        if (!blink.empty()) {
            // Blinking text is EMS text: its ranges become text-formatting elements.
            const auto chars =
                encodeCharacters(text, ucs2 ? TCharacterCoding::ccUCS2 : TCharacterCoding::cc7Bit, blink);
            const TEMSSegments parts =
                LayOutEMS(chars, {}, blink, ucs2 ? TTextUnits::tuOctets : TTextUnits::tuSeptets, false);
            const auto reference = static_cast<uint8_t>(parts.Concatenated ? counter++ & 0xFF : 0);
            return submitsOf(parts, GSM, DA, reference, dcs, Content.StatusReport);
        }
        if (ucs2) {
            const std::u16string units = text.toStdU16String();
            if (units.size() <= kMaxUCS2Units) {
                out.push_back(makeSubmit(GSM, DA, WideToUCS2(units), dcs, false, Content.StatusReport));
                return out;
            }
            const auto pieces = splitUnits(units, kConcatUCS2Units, [](const std::u16string &u, size_t i) {
                return QChar::isHighSurrogate(u[i]) && i + 1 < u.size() && QChar::isLowSurrogate(u[i + 1]);
            });
            const auto reference = static_cast<uint8_t>(counter++ & 0xFF);
            for (size_t i = 0; i < pieces.size(); ++i)
                out.push_back(
                    makeSubmit(GSM, DA, concatHeader(reference, pieces.size(), i + 1) + WideToUCS2(pieces[i]),
                               dcs, true, Content.StatusReport));
            return out;
        }
        // The Greek capitals and the extension table's characters are codes of the alphabet too.
        std::string codes;
        UnicodeToGSMCodes(text, codes);
        if (codes.size() <= kMaxSeptets) {
            out.push_back(makeSubmit(GSM, DA, codes, dcs, false, Content.StatusReport));
            return out;
        }
        const auto pieces = splitUnits(codes, kConcatSeptets, [](const std::string &s, size_t i) {
            return static_cast<uint8_t>(s[i]) == kGSMEscape && i + 1 < s.size();
        });
        const auto reference = static_cast<uint8_t>(counter++ & 0xFF);
        for (size_t i = 0; i < pieces.size(); ++i)
            out.push_back(makeSubmit(GSM, DA, concatHeader(reference, pieces.size(), i + 1) + pieces[i], dcs,
                                     true, Content.StatusReport));
        return out;
    }

    if (isEMS(Content.Kind)) {
        // EMS objects travel with the 8-bit text, each in the segment that holds its position; a
        // segment is never cut inside an element, so every receiver reads each one whole.
        QString text = Content.Text;
        std::vector<TTextRange> blink = TakeBlinkMarkers(text);
        const auto chars = encodeCharacters(text, TCharacterCoding::cc8Bit, blink);
        std::vector<TEMSElement> elements;
        for (const auto &object : emsObjects(Content)) {
            const auto *positioned = dynamic_cast<const TEMSPosObject *>(object.get());
            elements.push_back({object->GetIEI(), object->GetData(), positioned ? positioned->Position : 0});
        }
        const TEMSSegments parts = LayOutEMS(chars, elements, blink, TTextUnits::tuOctets, true);
        const auto reference = static_cast<uint8_t>(counter++ & 0xFF);
        return submitsOf(parts, GSM, DA, reference, kDCSBinaryClass1, Content.StatusReport);
    }

    // Smart messages: a vCard goes over the "//SCK" text header as 7-bit text when it can, the
    // others (and a vCard that cannot) over a binary header with ports as 8-bit data.
    const uint32_t reference = counter++ & 0xFF;
    auto carrier = [&](std::unique_ptr<TSMSProtocol2> protocol, uint16_t port, const std::string &data) {
        protocol->SetOptions({poPortAddressing, poConcatenation});
        protocol->SetDestPort(port);
        protocol->SetSourcePort(port);
        protocol->SetReference(reference);
        protocol->SetData(data);
        if (protocol->SegmentCount() > static_cast<int>(kMaxSegments))
            throw EGSMError("Message too long");
        return protocol;
    };
    std::vector<std::string> userData;
    bool udhi = true;
    if (Content.Kind == TMessageKind::mkvCard) {
        // The card is rendered as 8-bit text first: only characters that this text and the
        // default alphabet both have can go the 7-bit way.
        auto sevenBit = [](const QString &value) {
            std::string octets;
            return toEightBit(value, octets) && IsGSMText(octets);
        };
        if (sevenBit(Content.vCardName) && sevenBit(Content.vCardPhone)) {
            auto nbs = carrier(std::make_unique<TNBS>(), kSMPortvCard, vCardPayload(Content, false));
            // The text goes as default-alphabet codes; an extension character takes two septets,
            // so a segment may outgrow the message, and then the binary form carries the card.
            for (int i = 1; i <= nbs->SegmentCount(); ++i)
                userData.push_back(TextToGSM(nbs->GetSegment(i)));
            udhi = false;
            for (const std::string &codes : userData)
                if (codes.size() > kMaxSeptets)
                    udhi = true;
        }
        if (udhi) {
            userData.clear();
            auto udh = carrier(std::make_unique<TUDHProtocol>(), kSMPortvCard, vCardPayload(Content, true));
            for (int i = 1; i <= udh->SegmentCount(); ++i)
                userData.push_back(udh->GetSegment(i));
        }
    } else {
        TSmartPayload payload = smartPayload(Content);
        auto udh = carrier(std::make_unique<TUDHProtocol>(), payload.port, payload.object->GetData());
        for (int i = 1; i <= udh->SegmentCount(); ++i)
            userData.push_back(udh->GetSegment(i));
    }
    const uint8_t dcs = udhi ? kDCSBinaryClass1 : kDCSSmartText;
    for (std::string &segment : userData)
        out.push_back(makeSubmit(GSM, DA, std::move(segment), dcs, udhi, Content.StatusReport));
    return out;
}

} // namespace kestrel
