#include "cli/payloadjson.h"

#include "connect/connection.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerror.h"
#include "gsm/smstext.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/smartmessage.h"

#include <QJsonArray>

namespace kestrel::cli {

namespace {

QString hex(const std::string &bytes)
{
    return QString::fromStdString(StrToHex(bytes));
}

// Rows of '#' (black) and '.' (white); pictures of more pixels than a screen line shows are
// summarised by their size alone.
constexpr long long kMaxShownPixels = 64 * 64;

QJsonArray rowsOf(const QImage &image)
{
    QJsonArray rows;
    if (static_cast<long long>(image.width()) * image.height() > kMaxShownPixels)
        return rows;
    for (int y = 0; y < image.height(); ++y) {
        QString row;
        for (int x = 0; x < image.width(); ++x)
            row += (image.pixel(x, y) & 0xFFFFFF) == 0 ? '#' : '.';
        rows.append(row);
    }
    return rows;
}

QJsonObject objectJson(const TEMSObject &o)
{
    QJsonObject json{{"class", o.ClassName()}, {"iei", o.GetIEI()}};
    if (auto *p = dynamic_cast<const TEMSPosObject *>(&o))
        json["position"] = p->Position;
    if (auto *f = dynamic_cast<const TEMSTextFormat *>(&o)) {
        json["textLength"] = f->TextLength;
        json["formatMode"] = f->FormatMode;
        json["textColour"] = f->TextColour;
    } else if (auto *s = dynamic_cast<const TEMSSoundPredef *>(&o)) {
        json["soundNumber"] = s->SoundNumber;
    } else if (auto *a = dynamic_cast<const TEMSAnimationPredef *>(&o)) {
        json["animationNumber"] = a->AnimationNumber;
    } else if (auto *u = dynamic_cast<const TEMSSoundUserDef *>(&o)) {
        QJsonObject records;
        for (int i = 0; i < u->Records.Count(); ++i)
            records[Model8BitToUnicode(u->Records.Names(i))] =
                Model8BitToUnicode(u->Records.ValueFromIndex(i));
        json["records"] = records;
    } else if (auto *pic = dynamic_cast<const TEMSPicture *>(&o)) {
        json["width"] = pic->Width();
        json["height"] = pic->Height();
        json["rows"] = rowsOf(pic->Bitmap());
    } else if (auto *anim = dynamic_cast<const TEMSAnimation *>(&o)) {
        json["width"] = anim->Width();
        json["height"] = anim->Height();
        QJsonArray frames;
        for (int i = 0; i < TEMSAnimation::kFrameCount; ++i)
            frames.append(rowsOf(anim->Frames(i)));
        json["frames"] = frames;
    } else if (auto *prompt = dynamic_cast<const TEMSUserPrompt *>(&o)) {
        json["objectCount"] = prompt->ObjectCount;
    } else if (auto *x = dynamic_cast<const TEMSXObject *>(&o)) {
        json["first"] = x->First;
        if (x->First) {
            json["referenceNumber"] = x->ReferenceNumber;
            json["objectLength"] = x->ObjectLength;
            json["controlData"] = x->ControlData;
            json["objectType"] = x->ObjectType;
            json["position"] = x->Position;
        }
        json["data"] = hex(x->Data);
    } else if (auto *r = dynamic_cast<const TEMSXObjectReused *>(&o)) {
        json["referenceNumber"] = r->ReferenceNumber;
        json["position"] = r->Position;
    } else if (auto *raw = dynamic_cast<const TEMSUnknown *>(&o)) {
        json["rawData"] = hex(raw->RawData);
    } else if (auto *odi = dynamic_cast<const TEMSObjectDistributionIndicator *>(&o)) {
        json["ieCount"] = odi->IECount;
        json["attributes"] = odi->Attributes;
    } else if (auto *wvg = dynamic_cast<const TEMSWVGObject *>(&o)) {
        json["data"] = hex(wvg->Data);
    }
    return json;
}

} // namespace

void PutEMSObjects(QJsonObject &json, const TUDHProtocol &protocol)
{
    TEMS ems;
    try {
        ems.LoadFromUDH(protocol);
    } catch (const EGSMError &e) {
        json["emsError"] = QString::fromUtf8(e.what());
    }
    QJsonArray objects;
    for (const auto &item : ems.Items)
        objects.append(objectJson(*item));
    json["ems"] = objects;
}

void PutEMSObjectsOfHeader(QJsonObject &json, std::string_view header)
{
    TUDHProtocol protocol;
    protocol.Lock(); // the elements are only read here, never encoded
    TByteReader r(header.substr(header.empty() ? 0 : 1));
    while (!r.AtEnd()) {
        uint8_t iei = 0, length = 0;
        std::optional<std::string_view> data;
        if (!r.Next(iei) || !r.Next(length) || !(data = r.Take(length))) {
            json["ems"] = QJsonArray();
            return;
        }
        protocol.IEs().Add(std::make_unique<TIE>(iei, std::string(*data)));
    }
    PutEMSObjects(json, protocol);
}

void PutPayloadContent(QJsonObject &json, const TSMSProtocol &protocol)
{
    if (protocol.State() != kStateComplete)
        return;
    if (auto *ported = dynamic_cast<const TSMSProtocol2 *>(&protocol)) {
        try {
            if (auto message = TSmartMessage::CreateFromPort(protocol.Data(), ported->DestPort())) {
                json["smartMessage"] = message->ClassName();
                return;
            }
        } catch (const EGSMError &e) {
            json["smartMessageError"] = QString::fromUtf8(e.what());
            return;
        }
    }
    if (auto *udh = dynamic_cast<const TUDHProtocol *>(&protocol))
        PutEMSObjects(json, *udh);
}

} // namespace kestrel::cli
