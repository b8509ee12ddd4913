#include "store/messagecontent.h"

#include "base/format.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/payloadkind.h"
#include "xsms/protocolstack.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <algorithm>
#include <map>

namespace kestrel {

namespace {

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// Octets that should be UTF-8 (a vCard): kept when they are, read as the model's 8-bit text
// otherwise.
std::string looseUTF8(std::string_view octets)
{
    const QByteArray bytes(octets.data(), static_cast<qsizetype>(octets.size()));
    if (QString::fromUtf8(bytes).toUtf8() == bytes)
        return std::string(octets);
    return utf8(Model8BitToUnicode(octets));
}

std::string textOf(uint8_t dcs, std::string_view body)
{
    return utf8(UserDataToUnicode(SMSAlphabet(dcs), body));
}

// Database text columns take no NUL character (PostgreSQL refuses it); a NUL in a received
// text shows as the replacement character instead.
std::string withoutNUL(std::string text)
{
    if (text.find('\0') == std::string::npos)
        return text;
    std::string out;
    for (char c : text)
        out += c == '\0' ? std::string("\xEF\xBF\xBD") : std::string(1, c);
    return out;
}

// The protocol object of a received message, holding that one segment; nullptr when the user
// data belongs to no protocol. Chosen and decoded exactly as the application's stack does.
std::unique_ptr<TSMSProtocol> protocolOf(const TSMSDeliver &sms)
{
    TSMSProtocolStack stack;
    TSMSProtocol *p = nullptr;
    try {
        if (!stack.AddSegment(&sms, p) || !p)
            return nullptr;
    } catch (const std::exception &) {
        // A sequence number outside the announced count: not a usable segment.
        return nullptr;
    }
    return stack.RemoveProtocol(p);
}

// TS 23.040 9.2.3.24: the user data after the header (the header octets come first).
std::string_view bodyOf(const TSMS2 &sms)
{
    std::string_view data(sms.UserData);
    if (!sms.FirstOctetBit(6) || data.empty())
        return data;
    return data.substr(std::min<size_t>(static_cast<uint8_t>(data[0]) + 1u, data.size()));
}

std::string textOfItem(const TSmartMessage &item)
{
    if (auto *iso = dynamic_cast<const TSMTextISO *>(&item))
        return utf8(Model8BitToUnicode(iso->Text));
    if (auto *unicode = dynamic_cast<const TSMTextUnicode *>(&item))
        return utf8(unicode->Text);
    return {};
}

// The text of a ported payload (smart message or other application data): what its items say,
// a directory's records, a tune's title.
std::string textOfPorted(const std::string &data, unsigned port)
{
    std::unique_ptr<TSmartMessage> sm;
    try {
        sm = TSmartMessage::CreateFromPort(data, static_cast<uint16_t>(port));
    } catch (const std::exception &) {
        // A payload its class cannot parse keeps its kind and octets; it carries no text.
        return {};
    }
    if (auto *multipart = dynamic_cast<const TSMMultipartMessage *>(sm.get())) {
        std::string text;
        for (const auto &item : multipart->Items) {
            std::string t = textOfItem(*item);
            if (!t.empty())
                text += (text.empty() ? "" : "\n") + t;
        }
        return text;
    }
    if (dynamic_cast<const TSMMIMEDirectory *>(sm.get()))
        return looseUTF8(data);
    if (auto *tone = dynamic_cast<const TSMRingingTone *>(sm.get()))
        return utf8(tone->RTTTL().section(':', 0, 0)); // the tune's title, as the RTTTL text names it
    return {};
}

TReceivedContent contentOfProtocol(const TSMSProtocol &p, uint8_t dcs)
{
    TReceivedContent c;
    c.Kind = PayloadKindOf(p, dcs);
    c.Payload = p.Data();
    switch (c.Kind) {
    case TPayloadKind::pkOTA:
        c.Text = utf8(Model8BitToUnicode(static_cast<const TSiemensOTA &>(p).ObjectName));
        break;
    case TPayloadKind::pkText:
        c.Text = textOf(dcs, p.Data());
        break;
    case TPayloadKind::pkEMS:
        // The elements are the payload; the text they go with is the message's text, also under
        // 8-bit coding, with which EMS objects travel (the composer sends them so).
        c.Payload = EncodeHeaderElements(static_cast<const TUDHProtocol &>(p));
        c.Text = textOf(dcs, p.Data());
        break;
    default:
        if (auto *p2 = dynamic_cast<const TSMSProtocol2 *>(&p); p2 && p2->DestPort() != 0) {
            c.DestPort = p2->DestPort();
            c.Text = textOfPorted(c.Payload, p2->DestPort());
        }
        break;
    }
    return c;
}

} // namespace

std::optional<TSegmentPlace> SegmentPlace(const TSMSDeliver &SMS)
{
    std::unique_ptr<TSMSProtocol> p = protocolOf(SMS);
    if (!p || p->SegmentCount() < 2)
        return std::nullopt;
    const std::vector<int> present = p->ReceivedSequences();
    if (present.size() != 1)
        return std::nullopt;
    TSegmentPlace place;
    place.Count = p->SegmentCount();
    place.Sequence = present.front();
    std::string kind;
    if (auto *ota = dynamic_cast<const TSiemensOTA *>(p.get()))
        kind = Format("ota/%s/%s/%u/", StrToHex(ota->ObjectName).c_str(), StrToHex(ota->ObjectType).c_str(),
                      ota->ObjectSize);
    else if (auto *p2 = dynamic_cast<const TSMSProtocol2 *>(p.get()))
        kind = Format("%s/%u/%u/", dynamic_cast<const TNBS *>(p.get()) ? "nbs" : "udh", p2->DestPort(),
                      p2->SourcePort());
    place.JoinKey = kind + Format("%u/%d", p->Reference(), place.Count);
    place.UserData = p->GetSegment(place.Sequence);
    return place;
}

TReceivedContent ContentOfMessage(const TSMS &SMS)
{
    TReceivedContent c;
    if (auto *deliver = dynamic_cast<const TSMSDeliver *>(&SMS)) {
        if (std::unique_ptr<TSMSProtocol> p = protocolOf(*deliver); p && p->State() == kStateComplete) {
            c = contentOfProtocol(*p, deliver->DCS);
            c.Text = withoutNUL(c.Text);
            return c;
        }
    }
    if (auto *sms2 = dynamic_cast<const TSMS2 *>(&SMS)) {
        const std::string_view body = bodyOf(*sms2);
        c.Payload = std::string(body);
        const bool text =
            dynamic_cast<const TSMSDeliver *>(&SMS) && PayloadKindOfCoding(sms2->DCS) == TPayloadKind::pkText;
        c.Kind = text ? TPayloadKind::pkText : TPayloadKind::pkData;
        if (text || dynamic_cast<const TSMSSubmit *>(&SMS))
            c.Text = withoutNUL(textOf(sms2->DCS, body));
    } else if (auto *cb = dynamic_cast<const TCellBroadcast *>(&SMS)) {
        c.Payload = cb->Content;
        c.Text = withoutNUL(utf8(UserDataToUnicode(CBSAlphabet(cb->DCS), cb->Content)));
    }
    return c;
}

std::optional<TReceivedContent> ContentOfSegments(const std::vector<const TSMSDeliver *> &Segments)
{
    if (Segments.empty())
        return std::nullopt;
    TSMSProtocolStack stack;
    TSMSProtocol *p = nullptr;
    try {
        for (const TSMSDeliver *s : Segments)
            if (!stack.AddSegment(s, p) || !p)
                return std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    if (p->State() != kStateComplete)
        return std::nullopt;
    // The coding scheme of the first segment decides how the joined text reads.
    const TSMSDeliver *first = Segments.front();
    int firstSequence = 0;
    for (const TSMSDeliver *s : Segments)
        if (auto place = SegmentPlace(*s); place && (firstSequence == 0 || place->Sequence < firstSequence)) {
            firstSequence = place->Sequence;
            first = s;
        }
    TReceivedContent c = contentOfProtocol(*p, first->DCS);
    c.Text = withoutNUL(c.Text);
    return c;
}

TReceivedContent ContentOfPartial(const std::vector<const TSMSDeliver *> &Segments)
{
    TReceivedContent c;
    std::map<int, const TSMSDeliver *> bySequence;
    for (const TSMSDeliver *s : Segments)
        if (auto place = SegmentPlace(*s))
            bySequence.emplace(place->Sequence, s);
    if (bySequence.empty())
        return c;
    // What the first segment present announces: OTA objects, its port's kind, or text or data.
    const TSMSDeliver &first = *bySequence.begin()->second;
    std::unique_ptr<TSMSProtocol> p = protocolOf(first);
    if (!p)
        return c;
    c.Kind = PayloadKindAnnounced(*p, first.DCS);
    if (auto *p2 = dynamic_cast<const TSMSProtocol2 *>(p.get()); p2 && p2->DestPort() != 0)
        c.DestPort = p2->DestPort();
    if (c.Kind == TPayloadKind::pkText) {
        // Concatenated text: what the parts present say, so that it can be read and found.
        for (const auto &[sequence, s] : bySequence)
            if (PayloadKindOfCoding(s->DCS) == TPayloadKind::pkText)
                c.Text += textOf(s->DCS, bodyOf(*s));
        c.Text = withoutNUL(c.Text);
    }
    return c;
}

std::string PeerOf(const TSMS &SMS)
{
    if (auto *m = dynamic_cast<const TSMS2 *>(&SMS))
        return utf8(AddressToUnicode(*m));
    if (auto *cb = dynamic_cast<const TCellBroadcast *>(&SMS))
        return Format("CB%u", cb->MessageId);
    return {};
}

std::string NormalisedAddress(const std::string &Address)
{
    std::string number;
    bool numeric = !Address.empty();
    for (char c : Address) {
        if (c == ' ' || c == '-' || c == '(' || c == ')' || c == '.' || c == '/')
            continue;
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && number.empty()))
            number += c;
        else
            numeric = false;
    }
    if (numeric && !number.empty()) {
        // The international form: "+49171..." and "0049171..." are one number.
        if (number[0] == '+')
            return number.substr(1);
        if (number.starts_with("00"))
            return number.substr(2);
        return number;
    }
    std::string folded = Address;
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

} // namespace kestrel
