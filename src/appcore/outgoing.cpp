#include "appcore/outgoing.h"

#include "connect/connection.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "store/messagecontent.h"
#include "xsms/composer.h"

#include <QByteArray>

namespace kestrel {

namespace {

// Sends one segment and gives its TP-MR. Text mode carries the text itself where the model holds
// 7-bit codes; the segment itself stays in the model's form, as it is recorded and logged.
int referenceOfSent(TGSM &gsm, const TSMSSubmit &segment)
{
    if (gsm.SMSFormat() != kSMSFormatText || SMSAlphabet(segment.DCS) != TDCSAlphabet::da7Bit)
        return gsm.SendSMS(segment);
    TSMSSubmit wire = segment;
    wire.UserData = GSMToText(segment.UserData);
    return gsm.SendSMS(wire);
}

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

TOutgoing OutgoingOf(const std::vector<std::unique_ptr<TSMSSubmit>> &Segments, const TMessageContent &Content)
{
    TOutgoing out;
    // A composed text is text; any other kind is what a receiver recognises in the segments.
    const bool text = Content.Kind == TMessageKind::mkText || Content.Kind == TMessageKind::mkUCS2Text;
    out.Kind = text ? TPayloadKind::pkText : TPayloadKind::pkData;
    if (!Segments.empty())
        out.Peer = Segments.front()->DA;
    for (const auto &s : Segments)
        out.Segments.push_back(s.get());
    // The payload as a receiver reassembles it from these very segments, so that a sent picture
    // shows as a received one does; the text as the user wrote it (the segments may carry it
    // behind a marker, or cut into parts).
    std::vector<TSMSDeliver> arriving(Segments.size());
    std::vector<const TSMSDeliver *> parts;
    for (size_t i = 0; i < Segments.size(); ++i) {
        const TSMSSubmit &s = *Segments[i];
        TSMSDeliver &d = arriving[i];
        d.OA = s.DA;
        d.DCS = s.DCS;
        d.SetFirstOctetBit(6, s.FirstOctetBit(6)); // TP-UDHI
        d.UserData = s.UserData;
        parts.push_back(&d);
    }
    if (!text) {
        std::optional<TReceivedContent> content;
        if (parts.size() == 1)
            content = ContentOfMessage(*parts.front());
        else if (!parts.empty())
            content = ContentOfSegments(parts);
        if (content) {
            out.Kind = content->Kind;
            out.Payload = content->Payload;
            out.DestPort = content->DestPort;
            out.Text = content->Text;
        }
    }
    if (text || !Content.Text.isEmpty())
        out.Text = utf8(Content.Text);
    return out;
}

TSendResult SendComposed(TGSM &gsm, const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                         const TMessageContent &Content, TMessageStore *Store, const std::string &Modem,
                         const std::function<void(const TSMSSubmit &)> &AfterEach)
{
    TSendResult result;
    if (Store) {
        try {
            TOutgoing out = OutgoingOf(Segments, Content);
            out.Modem = Modem;
            result.StoredId = Store->RecordOutgoing(out, NowUTC());
        } catch (const EStoreError &e) {
            result.StoreError = e.what();
        }
    }
    for (size_t i = 0; i < Segments.size(); ++i) {
        int mr = -1;
        try {
            mr = referenceOfSent(gsm, *Segments[i]);
        } catch (const std::exception &e) {
            if (result.StoredId != 0) {
                try {
                    Store->MessageFailed(result.StoredId, e.what());
                } catch (const EStoreError &) {
                    // The send's own failure is what the caller must hear of.
                }
            }
            throw;
        }
        result.References.push_back(mr);
        if (AfterEach)
            AfterEach(*Segments[i]);
        if (result.StoredId != 0 && result.StoreError.empty()) {
            try {
                Store->SegmentSent(result.StoredId, static_cast<int>(i) + 1, mr, NowUTC());
            } catch (const EStoreError &e) {
                result.StoreError = e.what();
            }
        }
    }
    return result;
}

} // namespace kestrel
