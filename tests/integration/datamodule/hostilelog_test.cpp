// Message content written by strangers on its way into the log files, and log files that cannot
// be written. The SMS log keeps one printable record per line whatever the message carries
// (control characters in the text or in an alphanumeric sender, a concatenated payload that
// logs as a line of more than 100 KiB); a log that cannot take the record (a directory, a full
// disk) is reported through the data module's error path and the message stays on the handset.
#include "datamodulerig.h"

#include "appcore/datamodule.h"
#include "comm/comm.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simnetwork.h"
#include "xsms/protocolstack.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using rig::ReadFile;

namespace {

// The records of a log file; fails the test when a record is not one printable line.
std::vector<std::string> Records(const std::string &text)
{
    std::vector<std::string> records;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log ends inside a record";
            break;
        }
        std::string r = text.substr(at, end - at);
        for (unsigned char c : r)
            if (c < 0x20) {
                ADD_FAILURE() << "control character " << int(c) << " inside record " << records.size();
                break;
            }
        records.push_back(std::move(r));
        at = end + 2;
    }
    return records;
}

// The part of a summary line after its time stamp.
std::string AfterStamp(const std::string &record)
{
    const size_t at = record.find(", ");
    return at == std::string::npos ? record : record.substr(at + 2);
}

// An SMS-DELIVER TPDU (hex, no service-centre field) from +441234567890 or the given sender.
std::string DeliverHex(uint8_t dcs, const std::string &userData, const std::string &oa = "+441234567890",
                       uint8_t firstOctet = 0x04)
{
    TSMSDeliver d;
    d.FirstOctet = firstOctet;
    d.OA = oa;
    d.DCS = dcs;
    d.SCTS = EncodeDate(2026, 12, 7) + EncodeTime(10, 30, 0, 0);
    d.UserData = userData;
    d.GSM = SimBareContext();
    return d.GetPDU();
}

class HostileLog : public rig::TDataModuleRig {
protected:
    std::unique_ptr<TGSMDataModule> Module(const std::string &equipment, int indications,
                                           TModemSimulator *sim = nullptr)
    {
        std::ofstream(dir / "gsm.ini")
            << "[Modem]\nDevice=" << equipment << "\nSCA=+491710760000\nUnsolicitedIndication=" << indications
            << "\n";
        auto dm = TDataModuleRig::Module(sim);
        dm->OnError = [this](const std::string &m) { errors.push_back(m); };
        return dm;
    }

    std::vector<std::string> errors;
};

// Control characters in the text and in an alphanumeric sender, read from the handset at login.
TEST_F(HostileLog, ControlCharactersStayInsideTheirRecord)
{
    struct {
        const char *name;
        std::string tpdu;
        std::string record; // after the time stamp
    } cases[] = {
        {"NUL and ESC in 8-bit data", DeliverHex(0x04, std::string("A\0B\x1b[2J", 7)),
         "OA: +441234567890, PID: 00, UD: 4100421B5B324A"},
        {"CR and LF in text", DeliverHex(0x00, TextToGSM("one\r\ntwo\rthree\n")),
         "OA: +441234567890, PID: 00, UD: one<CR><LF>two<CR>three<LF>"},
        {"line feed in an alphanumeric sender", DeliverHex(0x00, TextToGSM("hi"), "Bank\nPay"),
         "OA: Bank<LF>Pay, PID: 00, UD: hi"},
        {"form feed in an alphanumeric sender", DeliverHex(0x00, TextToGSM("hi"), "Bank\x0c"),
         "OA: 42616E6B0C, PID: 00, UD: hi"},
    };
    TModemSimulatorOptions o;
    o.equipment = "M20";
    TModemSimulator sim(o);
    for (const auto &c : cases)
        sim.StoreMessage("SM", 0, c.tpdu);
    auto dm = Module("M20", 0, &sim);
    dm->GSM.Open();
    EXPECT_TRUE(sim.StoredMessages().empty());
    EXPECT_TRUE(errors.empty());
    const auto records = Records(ReadFile(dm->SMSLogName));
    ASSERT_EQ(records.size(), std::size(cases));
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(AfterStamp(records[i]), cases[i].record) << cases[i].name;
    dm->GSM.Close();
}

// The longest concatenated text there is (255 parts of 153 characters), all carriage returns:
// each spelled out, the whole text is one record of more than 150 KiB. And one message whose
// user data is 100 KiB of control characters is one record of its hex dump.
TEST_F(HostileLog, VeryLongRecordsStayOneLine)
{
    auto dm = Module("M20", 0);
    const std::string septets(153, '\r');
    for (int part = 1; part <= 255; ++part) {
        // A concatenation header (TS 23.040 9.2.3.24.1), then the text's septets.
        const std::string ud =
            std::string{0x05, 0x00, 0x03, 0x42, char(255), char(part)} + TextToGSM(septets);
        auto d = CreateSMSFromPDU(nullptr, "00" + DeliverHex(0x00, ud, "+441234567890", 0x44), true);
        ASSERT_TRUE(d);
        dm->ProcessSMS(d.get());
    }
    TSMSDeliver big;
    big.OA = "+441234567890";
    big.DCS = 0x04;
    for (int i = 0; i < 100 * 1024 / 4; ++i)
        big.UserData += std::string("\0\x1b\r\n", 4);
    dm->ProcessSMS(&big);

    const auto records = Records(ReadFile(dm->SMSLogName));
    ASSERT_EQ(records.size(), view.lines.size());
    ASSERT_GE(records.size(), 2u);
    const std::string &text = records[records.size() - 2];
    EXPECT_EQ(text.size(), 7u + 4u * 255u * 153u);
    EXPECT_EQ(text.substr(0, 11), "*text: <CR>");
    EXPECT_EQ(AfterStamp(records.back()).size(),
              std::string("OA: +441234567890, PID: 00, UD: ").size() + 200u * 1024u);
    EXPECT_TRUE(errors.empty());
}

// The SMS log cannot be written: a full disk (/dev/full: every write fails with ENOSPC) or a
// directory. The failure is reported, and no message is deleted from the handset unrecorded.
TEST_F(HostileLog, UnwritableSMSLogKeepsMessagesOnTheHandset)
{
    const std::string deliver = DeliverHex(0x00, TextToGSM("keep me"));
    for (std::string path : {std::string("/dev/full"), std::string("<dir>")}) {
        SCOPED_TRACE(path);
        if (path == "<dir>")
            path = dir.string();
        const std::string failure = path == "/dev/full" ? "No space left on device" : "Is a directory";

        // Found at login.
        {
            errors.clear();
            TModemSimulatorOptions o;
            o.equipment = "M20";
            TModemSimulator sim(o);
            sim.StoreMessage("SM", 0, deliver);
            auto dm = Module("M20", 0, &sim);
            dm->SMSLogName = path;
            dm->GSM.Open();
            EXPECT_EQ(sim.StoredMessages().size(), 1u);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].rfind("Stored message 1 was kept on the handset: ", 0), 0u) << errors[0];
            EXPECT_NE(errors[0].find(failure), std::string::npos) << errors[0];
            dm->GSM.Close();
        }
        // Indicated by its storage index while connected.
        {
            errors.clear();
            TModemSimulatorOptions o;
            o.equipment = "M20";
            TModemSimulator sim(o);
            auto dm = Module("M20", 9, &sim); // deliveries, indications only
            dm->SMSLogName = path;
            dm->GSM.Open();
            sim.DeliverPdu(deliver);
            ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
            EXPECT_EQ(errors[0], "Cannot " + std::string(path == "/dev/full" ? "write" : "open") +
                                     " log file \"" + path + "\": " + failure);
            WaitUntil([] { return false; }, 300); // no delete follows, and no second report
            EXPECT_EQ(sim.StoredMessages().size(), 1u);
            EXPECT_EQ(errors.size(), 1u);
            dm->GSM.Close();
        }
        // Routed to the host: not acknowledged, so the network delivers it again.
        {
            errors.clear();
            TModemSimulatorOptions o;
            o.equipment = "Nokia6650";
            TModemSimulator sim(o);
            auto dm = Module("Nokia6650", 1, &sim);
            dm->SMSLogName = path;
            dm->GSM.Open();
            sim.DeliverPdu(deliver);
            ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
            EXPECT_NE(errors[0].find(failure), std::string::npos) << errors[0];
            WaitUntil([] { return false; }, 300);
            EXPECT_EQ(sim.PendingAcknowledgements(), 1);
            EXPECT_EQ(errors.size(), 1u);
            dm->GSM.Close();
        }
    }
}

// A handset that answers a read with a header and no message text: nothing can be recorded, so
// the message stays on the handset and the user hears why. With text that is no PDU, the text
// itself is the record, and only then is the index deleted.
TEST_F(HostileLog, ReadAnswerWithoutMessageIsNotDeleted)
{
    struct {
        const char *name;
        const char *answer;
        const char *error; // reported, or "" for none
        bool deleted;
        const char *record; // the SMS log's record after its time stamp, or ""
    } cases[] = {
        {"header only", "\r\n+CMGR: 0,,14\r\n\r\nOK\r\n", "the handset gave no message text for index 3",
         false, ""},
        {"text that is no PDU", "\r\n+CMGR: 0,,14\r\nZZ\r\n\r\nOK\r\n", "", true,
         "index 3, status 0, PDU: ZZ"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        TModemSimulatorOptions o;
        o.equipment = "M20";
        TModemSimulator sim(o);
        auto dm = Module("M20", 0, &sim);
        dm->GSM.Open();
        ASSERT_EQ(dm->GSM.Memory(), "\"SM\""); // the indication below selects nothing
        std::remove(dm->SMSLogName.c_str());
        sim.SetSilent(true);
        sim.ClearTranscript();
        // The handset's side: the scripted answer to the read, OK to a delete.
        std::atomic<bool> done = false;
        std::thread handset([&] {
            size_t seen = 0;
            while (!done) {
                const auto commands = sim.ReceivedCommands();
                for (; seen < commands.size(); ++seen) {
                    if (commands[seen].rfind("AT+CMGR=", 0) == 0)
                        sim.SendRaw(c.answer);
                    else if (commands[seen].rfind("AT+CMGD=", 0) == 0)
                        sim.SendRaw("\r\nOK\r\n");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        sim.SendRaw("\r\n+CMTI: \"SM\",3\r\n");
        WaitUntil([&] { return !errors.empty() || !view.lines.empty(); }, 3000);
        WaitUntil([] { return false; }, 300);
        done = true;
        handset.join();
        const auto commands = sim.ReceivedCommands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CMGD=3"), c.deleted ? 1 : 0);
        EXPECT_EQ(errors, *c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
        const auto records = Records(ReadFile(dm->SMSLogName));
        EXPECT_EQ(records.size(), *c.record ? 1u : 0u);
        if (!records.empty()) {
            EXPECT_EQ(AfterStamp(records[0]), c.record);
        }
        view.lines.clear();
        sim.SetSilent(false);
        dm->GSM.Close();
    }
}

// A modem log that cannot be written must not stop the dialogue: login and the storage read go
// on, and the failure is reported once, not for every line. A line that never ends is written
// in pieces instead of being held; a NUL does not cut its record short.
TEST_F(HostileLog, ModemLogFailuresAndHostileLines)
{
    for (const std::string &path : {std::string("/dev/full"), dir.string()}) {
        SCOPED_TRACE(path);
        errors.clear();
        TModemSimulatorOptions o;
        o.equipment = "M20";
        TModemSimulator sim(o);
        sim.StoreMessage("SM", 0, DeliverHex(0x00, TextToGSM("still read")));
        auto dm = Module("M20", 0, &sim);
        dm->GSMLogName = path;
        dm->GSM.Open();
        EXPECT_TRUE(sim.StoredMessages().empty());
        EXPECT_EQ(errors.size(), 1u);
        dm->GSM.Close();
    }

    auto dm = Module("M20", 0);
    for (char c : std::string("AT\0+CSQ\r\n", 9))
        dm->LogModemChar(c);
    for (size_t i = 0; i < 3 * kMaxModemLogLine; ++i)
        dm->LogModemChar('Z');
    EXPECT_LT(dm->LineBuffer.size(), kMaxModemLogLine);
    const std::string log = ReadFile(dm->GSMLogName);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
    EXPECT_NE(log.find(std::string(": AT\0+CSQ\r\n", 11)), std::string::npos);
}

} // namespace
