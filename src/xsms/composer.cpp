#include "xsms/composer.h"

#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"

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
    case TMessageKind::mkvCard: {
        auto card = std::make_unique<TSMvCard>();
        card->Records.SetValues("N", eightBit(c.vCardName));
        card->Records.SetValues("TEL", eightBit(c.vCardPhone));
        p.object = std::move(card);
        p.port = kSMPortvCard;
        break;
    }
    case TMessageKind::mkPicture: {
        auto picture = std::make_unique<TSMOTABitmap>();
        fillBitmap(*picture, c);
        // A picture message is a multipart message: the optional text first, then the picture.
        auto multipart = std::make_unique<TSMMultipartMessage>();
        if (!c.Text.isEmpty()) {
            auto text = std::make_unique<TSMTextISO>();
            text->Text = eightBit(c.Text);
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

std::unique_ptr<TEMSObject> emsObject(const TMessageContent &c)
{
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
        return picture(std::make_unique<TEMSPictureSmall>());
    case TMessageKind::mkEMSPictureLarge:
        return picture(std::make_unique<TEMSPictureLarge>());
    case TMessageKind::mkEMSPictureVariable:
        return picture(std::make_unique<TEMSPictureVariable>());
    case TMessageKind::mkEMSAnimationSmall:
        return animation(std::make_unique<TEMSAnimationSmall>());
    case TMessageKind::mkEMSAnimationLarge:
        return animation(std::make_unique<TEMSAnimationLarge>());
    case TMessageKind::mkEMSMelody: {
        auto sound = std::make_unique<TEMSSoundUserDef>();
        BuildIMelody(*sound, c.Melody);
        return sound;
    }
    default:
        return nullptr;
    }
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

std::vector<std::unique_ptr<TSMSSubmit>>
TMessageComposer::Compose(const std::string &DA, const TMessageContent &Content, const ISMSContext *GSM)
{
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
        uint8_t dcs = static_cast<uint8_t>(kDCS7BitClass + messageClass);
        bool ucs2 = Content.Kind == TMessageKind::mkUCS2Text;
        if (text.contains(QChar(kUCS2Marker))) {
            // The guillemet asks for UCS2, flagged to the receiver by a leading 0x01 character.
            text.prepend(QChar(kUCS2Prefix));
            dcs = kDCSUCS2Class;
            ucs2 = true;
        } else if (ucs2 || !FitsDefaultAlphabet(text)) {
            // Characters the default alphabet lacks would be dropped: UCS2 keeps them.
            dcs = static_cast<uint8_t>(kDCSUCS2Class + messageClass);
            ucs2 = true;
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

    std::unique_ptr<TSMSProtocol2> protocol;
    if (isEMS(Content.Kind)) {
        auto udh = std::make_unique<TUDHProtocol>();
        udh->SetOptions({poConcatenation});
        TEMS ems;
        ems.Text = eightBit(Content.Text);
        ems.Items.push_back(emsObject(Content));
        ems.SaveToUDH(*udh);
        protocol = std::move(udh);
    } else {
        TSmartPayload payload = smartPayload(Content);
        if (Content.Kind == TMessageKind::mkvCard)
            protocol = std::make_unique<TNBS>();
        else
            protocol = std::make_unique<TUDHProtocol>();
        protocol->SetOptions({poPortAddressing, poConcatenation});
        protocol->SetDestPort(payload.port);
        protocol->SetData(payload.object->GetData());
    }
    protocol->SetSourcePort(protocol->DestPort());
    protocol->SetReference(counter++ & 0xFF);
    const bool udhi = dynamic_cast<TUDHProtocol *>(protocol.get()) != nullptr;
    const uint8_t dcs = udhi ? kDCSBinaryClass1 : kDCSSmartText;
    if (protocol->SegmentCount() > static_cast<int>(kMaxSegments))
        throw EGSMError("Message too long");
    for (int i = 1; i <= protocol->SegmentCount(); ++i)
        out.push_back(makeSubmit(GSM, DA, protocol->GetSegment(i).substr(0, kMaxSeptets), dcs, udhi,
                                 Content.StatusReport));
    return out;
}

} // namespace kestrel
