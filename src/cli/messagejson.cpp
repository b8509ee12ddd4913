// The JSON form of a message object: the keys of "kestrel pdu decode", shared with the session
// commands that read, list and monitor messages and with the gateway's event lines.
#include "cli/messagejson.h"

#include "cli/clicommand.h"
#include "cli/payloadjson.h"

#include "appcore/datamodule.h"
#include "base/datetime.h"
#include "connect/connection.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <optional>

namespace kestrel::cli {

namespace {

QString hexOf(const std::string &bytes)
{
    return QString::fromStdString(StrToHex(bytes));
}

// Length of the user data header at the start of user data (0 without TP-UDHI).
size_t headerLength(const TSMS2 &sms)
{
    if (!sms.FirstOctetBit(6) || sms.UserData.empty())
        return 0;
    return std::min<size_t>(static_cast<uint8_t>(sms.UserData[0]) + 1, sms.UserData.size());
}

// The information elements of a header (TS 23.040 9.2.3.24). A chain whose last element runs
// past the header is void as a whole and lists no element.
QJsonArray headerElements(std::string_view header)
{
    QJsonArray elements;
    TUDHProtocol protocol;
    if (!DecodeHeaderElements(header.substr(header.empty() ? 0 : 1), protocol))
        return elements;
    for (int i = 0; i < protocol.IEs().Count(); ++i) {
        const TIE *ie = protocol.IEs()[i];
        elements.append(QJsonObject{{"iei", ie->Identifier}, {"data", hexOf(ie->Data())}});
    }
    return elements;
}

void putStamp(QJsonObject &json, const char *key, TDateTime stamp, const char *zoneKey, int8_t zone)
{
    json[key] = QString::fromStdString(DateTimeToISO(stamp));
    json[zoneKey] = zone;
}

QJsonObject toJson(const TSMS2 &sms)
{
    QJsonObject json{{"class", sms.ClassName()},
                     {"sca", QString::fromStdString(sms.SCA)},
                     {"firstOctet", sms.FirstOctet},
                     {"dcs", sms.DCS},
                     {"userData", hexOf(sms.UserData)}};
    bool hasText = true;
    if (auto *deliver = dynamic_cast<const TSMSDeliver *>(&sms)) {
        json["oa"] = AddressToUnicode(sms);
        json["pid"] = deliver->PID;
        putStamp(json, "scts", deliver->SCTS, "timeZone", deliver->TimeZone);
    } else if (auto *submit = dynamic_cast<const TSMSSubmit *>(&sms)) {
        json["mr"] = submit->MR;
        json["da"] = AddressToUnicode(sms);
        json["pid"] = submit->PID;
        if (submit->FirstOctetField(3) == 2)
            json["vp"] = static_cast<qint64>(std::llround(submit->VP * 1440));
        else if (submit->FirstOctetField(3) == 3)
            json["vp"] = QString::fromStdString(DateTimeToISO(submit->VP));
    } else if (auto *report = dynamic_cast<const TSMSStatusReport *>(&sms)) {
        json["mr"] = report->MR;
        json["ra"] = AddressToUnicode(sms);
        putStamp(json, "scts", report->SCTS, "timeZone", report->TimeZone);
        putStamp(json, "dischargeTime", report->DischargeTime, "dischargeZone", report->DischargeZone);
        json["status"] = report->Status;
        hasText = false;
    } else if (auto *command = dynamic_cast<const TSMSCommand *>(&sms)) {
        json["mr"] = command->MR;
        json["pid"] = command->PID;
        json["commandType"] = command->CommandType;
        json["messageNumber"] = command->MessageNumber;
        json["da"] = AddressToUnicode(sms);
        hasText = false; // command data is not text
    } else if (auto *deliverReport = dynamic_cast<const TSMSDeliverReport *>(&sms)) {
        json["parameterIndicator"] = deliverReport->ParameterIndicator;
        json["pid"] = deliverReport->PID;
        if (auto *submitReport = dynamic_cast<const TSMSSubmitReport *>(&sms))
            putStamp(json, "scts", submitReport->SCTS, "timeZone", submitReport->TimeZone);
    }
    size_t header = headerLength(sms);
    if (sms.FirstOctetBit(6)) {
        json["udh"] = headerElements(std::string_view(sms.UserData).substr(0, header));
        PutEMSObjectsOfHeader(json, std::string_view(sms.UserData).substr(0, header));
    }
    if (hasText)
        json["text"] = UserDataToUnicode(SMSAlphabet(sms.DCS), std::string_view(sms.UserData).substr(header));
    return json;
}

QJsonObject toJson(const TCellBroadcast &cb)
{
    return QJsonObject{{"class", cb.ClassName()},
                       {"serial", cb.Serial()},
                       {"messageCode", cb.MessageCode()},
                       {"updateNumber", cb.UpdateNumber()},
                       {"messageId", cb.MessageId},
                       {"dcs", cb.DCS},
                       {"page", cb.PageNumber()},
                       {"pages", cb.PageCount()},
                       {"text", UserDataToUnicode(CBSAlphabet(cb.DCS), cb.Content)}};
}

} // namespace

QJsonObject MessageJson(const TSMS &sms)
{
    if (auto *cb = dynamic_cast<const TCellBroadcast *>(&sms))
        return toJson(*cb);
    if (auto *sms2 = dynamic_cast<const TSMS2 *>(&sms))
        return toJson(*sms2);
    return QJsonObject{{"class", sms.ClassName()}};
}

QJsonValue MessageValue(const TGSM &gsm, TSMS *sms)
{
    if (!sms)
        return QJsonValue::Null;
    if (gsm.SMSFormat() == kSMSFormatText)
        ToModelForm(*sms);
    return MessageJson(*sms);
}

void PrintJson(const QJsonObject &json)
{
    PrintOut(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
}

} // namespace kestrel::cli
