// kestrel pdu reassemble as users run it: PDUs in, one JSON line per PDU and the exit status out.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TRun {
    int status = -1;
    QStringList lines;
};

TRun run(const QStringList &args)
{
    QProcess process;
    process.start(KESTREL_PROGRAM, QStringList{"pdu", "reassemble"} + args);
    TRun result;
    if (!process.waitForFinished(20000))
        return result;
    result.status = process.exitCode();
    result.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return result;
}

// A received message as the handset stores it, with a service-centre field.
QString deliverPdu(const std::string &from, const std::string &userData, uint8_t dcs, bool udhi = false)
{
    TSMSDeliver sms;
    sms.OA = from;
    sms.DCS = dcs;
    sms.UserData = userData;
    sms.SetFirstOctetBit(6, udhi);
    return QString::fromStdString(sms.GetPDU());
}

// Two reference messages: 7-bit text after an 8-bit concatenation element, reference 0xBD.
const char *kPart1 =
    "0791447758100650400C91442143658709000042506070809000A0050003BD0201C2E231B96C3EA3D3EA35BBED7EC3E3F239"
    "BD6EBFE3F3FAA070482C1A8FC8A472C96C3A9FD0A8744AAD5AAFD8AC161693CD6835DB0D9703B95861F1985C369FD169F59A"
    "DD76BFE171F99C5EB7DFF1797D503824168D476452B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C"
    "2E9BCFE8B47ACD6EBBDFF0B87C4EAFDBEF";
const char *kPart2 =
    "0791447758100650400C9144214365870900004250607080900036050003BD0202F0797D503824168D476452B964369D4F68"
    "543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E03";

TEST(CliReassemble, LinesPerPdu)
{
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,";
    const std::string text = alphabet + alphabet + alphabet + alphabet.substr(0, 5);
    const std::string ota = "//SEO" + std::string(1, '\1') + IntToLE(3, 2) + IntToLE(0x0102, 4) +
                            IntToLE(1, 2) + IntToLE(1, 2) + IntToLE(3, 4) + PascalString("logo") +
                            PascalString("bmp") + "abc";
    struct TCase {
        const char *name;
        QStringList args;
        int status;
        QStringList lines;
    };
    const std::vector<TCase> cases = {
        {"concatenated text, last part first",
         {kPart2, kPart1},
         0,
         {R"({"accepted":true,"complete":false,"destPort":0,"key":"+441234567890_BD","protocol":"TUDHProtocol","received":1,"reference":189,"segments":2,"sourcePort":0})",
          QString(
              R"({"accepted":true,"complete":true,"data":"%1","destPort":0,"ems":[],"key":"+441234567890_BD","kind":"text","protocol":"TUDHProtocol","received":2,"reference":189,"segments":2,"sourcePort":0})")
              .arg(QString::fromStdString(StrToHex(text)))}},
        {"text header, repeated and conflicting",
         {deliverPdu("+4411", TextToGSM("//SCK1581050201 ab"), 0),
          deliverPdu("+4411", TextToGSM("//SCK1581050201 ab"), 0),
          deliverPdu("+4411", TextToGSM("//SCK1581050201 xy"), 0),
          deliverPdu("+4411", TextToGSM("//SCK1581050202 cd"), 0)},
         0,
         {R"({"accepted":true,"complete":false,"destPort":21,"key":"+4411_05","protocol":"TNBS","received":1,"reference":5,"segments":2,"sourcePort":129})",
          R"({"accepted":true,"complete":false,"destPort":21,"key":"+4411_05","protocol":"TNBS","received":1,"reference":5,"segments":2,"sourcePort":129})",
          R"({"accepted":false,"complete":false,"destPort":21,"key":"+4411_05","protocol":"TNBS","received":1,"reference":5,"segments":2,"sourcePort":129})",
          R"({"accepted":true,"complete":true,"data":"61626364","destPort":21,"key":"+4411_05","kind":"data","protocol":"TNBS","received":2,"reference":5,"segments":2,"sourcePort":129})"}},
        {"Siemens OTA object",
         {deliverPdu("Oracle", ota, 0x04)},
         0,
         {R"({"accepted":true,"complete":true,"data":"616263","key":"Oracle_102","kind":"ota","objectName":"logo","objectType":"bmp","protocol":"TSiemensOTA","received":1,"reference":258,"segments":1})"}},
        {"plain text and a malformed sequence number",
         {deliverPdu("+4411", TextToGSM("hello"), 0),
          deliverPdu("+4411", TextToGSM("//SCK1581050203 ab"), 0)},
         0,
         {R"({"accepted":false})", R"({"accepted":false})"}},
        {"sent messages are not segments",
         {"--mo", "001100069121436500008F0AE8329BFD4697D9EC37"},
         0,
         {R"({"accepted":false})"}},
        {"no service-centre field",
         {"--no-sca", deliverPdu("+4411", TextToGSM("//SCKE2 hi"), 0).mid(2)},
         0,
         {R"({"accepted":true,"complete":true,"data":"6869","destPort":226,"key":"+4411_00","kind":"vcard","protocol":"TNBS","received":1,"reference":0,"segments":1,"smartMessageError":"Bad format","sourcePort":226})"}},
        {"EMS objects of a completed payload",
         {deliverPdu("+4411", std::string("\x0A\x0A\x03\x01\x05\x10\x13\x01\x02\x14\x00", 11) + "hi", 0xF5,
                     true)},
         0,
         {R"({"accepted":true,"complete":true,"data":"6869","destPort":0,"ems":[{"class":"TEMSTextFormat","formatMode":16,"iei":10,"position":1,"textColour":0,"textLength":5},{"class":"TEMSUserPrompt","iei":19,"objectCount":2},{"class":"TEMSXObject","controlData":0,"data":"","first":true,"iei":20,"objectLength":0,"objectType":0,"position":0,"referenceNumber":0}],"key":"+4411_00","kind":"ems","protocol":"TUDHProtocol","received":1,"reference":0,"segments":1,"sourcePort":0})"}},
        {"a smart message names its class",
         {deliverPdu("+4411", TextToGSM("//SCKE2 BEGIN:VCARD\r\nN:x\r\nEND:VCARD\r\n"), 0)},
         0,
         {R"({"accepted":true,"complete":true,"data":"424547494E3A56434152440D0A4E3A780D0A454E443A56434152440D0A","destPort":226,"key":"+4411_00","kind":"vcard","protocol":"TNBS","received":1,"reference":0,"segments":1,"smartMessage":"TSMvCard","sourcePort":226})"}},
        {"undecodable PDUs",
         {"zz", kPart1},
         1,
         {R"({"error":"not a PDU: hex digits in pairs expected"})",
          R"({"accepted":true,"complete":false,"destPort":0,"key":"+441234567890_BD","protocol":"TUDHProtocol","received":1,"reference":189,"segments":2,"sourcePort":0})"}},
        {"no PDU", {}, 2, {}},
        {"unknown option", {"--bogus", kPart1}, 2, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TRun r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.lines.join("\n").toStdString(), c.lines.join("\n").toStdString());
    }
}

} // namespace
