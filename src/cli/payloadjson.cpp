#include "cli/payloadjson.h"

#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/smstext.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/payloadkind.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

#include <QJsonArray>

namespace kestrel::cli {

namespace {

QString hex(const std::string &bytes)
{
    return QString::fromStdString(StrToHex(bytes));
}

// Rows of '#' (black) and '.' (white) for a picture of Width x Height (pixels outside the frame
// are white).
QJsonArray frameRows(const QImage &frame, int width, int height)
{
    QJsonArray rows;
    for (int y = 0; y < height; ++y) {
        QString row;
        for (int x = 0; x < width; ++x) {
            const bool black = x < frame.width() && y < frame.height() && (frame.pixel(x, y) & 0xFFFFFF) == 0;
            row += QLatin1Char(black ? '#' : '.');
        }
        rows.append(row);
    }
    return rows;
}

// The rows of an EMS image; pictures of more pixels than a screen line shows are summarised by
// their size alone.
constexpr long long kMaxShownPixels = 64 * 64;

QJsonArray rowsOf(const QImage &image)
{
    if (static_cast<long long>(image.width()) * image.height() > kMaxShownPixels)
        return {};
    return frameRows(image, image.width(), image.height());
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

// Payload text as the model keeps it (ISO 8859-1, the euro sign at 0x80).
QString latin1(const std::string &s)
{
    return Model8BitToUnicode(s);
}

QJsonObject describeInstruction(const TSMRTInstruction &in)
{
    QJsonObject o{{"class", in.ClassName()}};
    if (const auto *n = dynamic_cast<const TSMRTNote *>(&in)) {
        o["value"] = n->Value;
        o["duration"] = n->Duration;
        o["durationSpecifier"] = n->DurationSpecifier;
    } else if (const auto *v = dynamic_cast<const TSMRTValueInstruction *>(&in)) {
        o["value"] = v->Value;
        if (dynamic_cast<const TSMRTTempo *>(&in))
            o["bpm"] = TSMRTTempo::ToBPM(v->Value);
    }
    return o;
}

QJsonObject describePart(const TSMRTCommandPart &part)
{
    QJsonObject o{{"class", part.ClassName()}};
    if (const auto *cancel = dynamic_cast<const TSMRTCancel *>(&part))
        o["value"] = cancel->Value;
    if (const auto *basic = dynamic_cast<const TSMRTBasicSong *>(&part))
        o["title"] = basic->Title();
    if (const auto *song = dynamic_cast<const TSMRTTemporarySong *>(&part)) {
        QJsonArray patterns;
        for (const auto &p : song->Patterns) {
            if (!p)
                continue;
            QJsonArray instructions;
            for (const auto &in : p->Instructions)
                if (in)
                    instructions.append(describeInstruction(*in));
            patterns.append(QJsonObject{
                {"patternId", p->PatternId}, {"loopValue", p->LoopValue}, {"instructions", instructions}});
        }
        o["patterns"] = patterns;
    }
    return o;
}

} // namespace

QJsonObject SmartMessageJson(const TSmartMessage &m)
{
    QJsonObject o{{"class", m.ClassName()}};
    if (const auto *dir = dynamic_cast<const TSMMIMEDirectory *>(&m)) {
        const TDirectoryRecords &r = dir->Records;
        o["kind"] = latin1(r.Kind);
        QJsonArray records;
        for (int i = 0; i < r.Count(); ++i) {
            QJsonArray parameters;
            for (const std::string &p : r.Parameters(i))
                parameters.append(latin1(p));
            records.append(QJsonObject{{"name", latin1(r.Names(i))},
                                       {"value", latin1(r.ValueFromIndex(i))},
                                       {"parameters", parameters}});
        }
        o["records"] = records;
    } else if (const auto *multi = dynamic_cast<const TSMMultipartMessage *>(&m)) {
        QJsonArray items;
        for (const auto &item : multi->Items) {
            if (!item)
                continue;
            QJsonObject d = SmartMessageJson(*item);
            d["itemType"] = TSMMultipartMessage::ItemTypeOf(*item);
            items.append(d);
        }
        o["items"] = items;
    } else if (const auto *bitmap = dynamic_cast<const TSMOTABitmap *>(&m)) {
        if (const auto *logo = dynamic_cast<const TSMOperatorLogo *>(&m)) {
            o["mcc"] = logo->MCC;
            o["mnc"] = logo->MNC;
        }
        o["width"] = bitmap->Width();
        o["height"] = bitmap->Height();
        o["depth"] = bitmap->Depth;
        o["infoField"] = hex(bitmap->InfoField);
        QJsonArray frames;
        for (int i = 0; i < bitmap->FrameCount(); ++i)
            frames.append(frameRows(bitmap->Frames(i), bitmap->Width(), bitmap->Height()));
        o["frames"] = frames;
    } else if (const auto *tone = dynamic_cast<const TSMRingingTone *>(&m)) {
        o["rtttl"] = tone->RTTTL();
        QJsonArray commands;
        for (const auto &c : tone->Commands) {
            if (!c)
                continue;
            QJsonArray parts;
            for (const auto &p : c->Parts)
                if (p)
                    parts.append(describePart(*p));
            commands.append(QJsonObject{{"parts", parts}});
        }
        o["commands"] = commands;
    } else if (const auto *uni = dynamic_cast<const TSMTextUnicode *>(&m)) {
        o["text"] = uni->Text;
    } else if (const auto *iso = dynamic_cast<const TSMTextISO *>(&m)) {
        o["text"] = latin1(iso->Text);
    } else if (const auto *unknown = dynamic_cast<const TSMUnknown *>(&m)) {
        o["data"] = hex(unknown->RawData);
    }
    return o;
}

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
    PutEMSObjectsOfElements(json, header.substr(header.empty() ? 0 : 1));
}

void PutEMSObjectsOfElements(QJsonObject &json, std::string_view elements)
{
    TUDHProtocol protocol;
    if (!DecodeHeaderElements(elements, protocol)) {
        json["ems"] = QJsonArray();
        return;
    }
    PutEMSObjects(json, protocol);
}

void PutPayloadContent(QJsonObject &json, const TSMSProtocol &protocol, uint8_t dcs)
{
    if (protocol.State() != kStateComplete)
        return;
    json["kind"] = PayloadKindName(PayloadKindOf(protocol, dcs));
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
