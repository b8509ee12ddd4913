// kestrel ussd as a process against kestrel-modemsim: the balance, a menu answered with --reply,
// a session left open ended with AT+CUSD=2, an unknown code, a network that never answers.
#include "clisessiontest.h"

namespace {

class CliUSSD : public CliSession {
protected:
    TRun USSD(const QStringList &more) { return Kestrel(Session(QStringList{"ussd"} + more)); }
    bool Received(const QString &command) { return sim.Control("transcript").contains("< " + command); }
};

TEST_F(CliUSSD, BalancePrintsTheText)
{
    TRun run = USSD({"*100#"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "Balance 12.50 EUR, valid until 31.12.2026\n");
    EXPECT_TRUE(Received("AT+CUSD=1,\"*100#\",15"));
}

TEST_F(CliUSSD, MenuAnsweredWithReplies)
{
    TRun run = USSD({"*101#", "--reply", "1", "--reply", "2", "--json"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    ASSERT_EQ(run.json.size(), 3u) << run.out.toStdString();
    const QString texts[] = {"Menu:\n1 Data packs\n2 My number",
                             "Data packs:\n1 1 GB 5.00 EUR\n2 5 GB 15.00 EUR",
                             "Pack booked. Balance 7.50 EUR"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(run.json[i]["status"].toString(), i < 2 ? "reply" : "done");
        EXPECT_EQ(run.json[i]["code"].toInt(), i < 2 ? 1 : 0);
        EXPECT_EQ(run.json[i]["dcs"].toInt(), 15);
        EXPECT_EQ(run.json[i]["text"].toString(), texts[i]);
    }
    // The menus hold line breaks: the handset gave their packed septets in hexadecimal.
    EXPECT_EQ(run.json[0]["raw"].toString(), "CDB2BBAE53C440C4303D0C8287C7EBB942066AE641EE7A5B5C9603");
    EXPECT_EQ(run.json[2]["raw"].toString(), "Pack booked. Balance 7.50 EUR");
    // The session ended with the network's last answer: nothing to cancel.
    EXPECT_FALSE(Received("AT+CUSD=2"));
}

TEST_F(CliUSSD, SessionLeftOpenIsEnded)
{
    // Standard input is no terminal here: after the last --reply the menu is left.
    TRun run = USSD({"*102#", "--reply", "1"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "Меню:\n1 Пакеты данных\n2 Мой номер\nПакеты данных:\n1 1 ГБ 5,00\n2 5 ГБ 15,00\n");
    EXPECT_TRUE(Received("AT+CUSD=2"));
}

TEST_F(CliUSSD, RefusalsAndFailures)
{
    TRun unknown = USSD({"*999#", "--json"});
    EXPECT_EQ(unknown.status, 1);
    ASSERT_EQ(unknown.json.size(), 1u);
    EXPECT_EQ(unknown.json[0]["status"].toString(), "not supported");
    EXPECT_TRUE(unknown.json[0]["text"].isNull());
    EXPECT_EQ(unknown.err, "kestrel: the network answered 4 to *999# (not supported)\n");

    EXPECT_EQ(sim.Control("ussd-delay 5000").last(), "OK");
    TRun late = USSD({"*100#", "--timeout", "1"});
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.err, "No answer from the network to USSD \"*100#\" within 1.0 s\n");
    EXPECT_TRUE(Received("AT+CUSD=2"));

    EXPECT_EQ(USSD({}).status, 2);
    EXPECT_EQ(USSD({"*100#", "--timeout", "0"}).status, 2);
    TRun notSendable = USSD({"*100# \"x\""});
    EXPECT_EQ(notSendable.status, 1);
    EXPECT_EQ(notSendable.err, "USSD string: the character at position 7 cannot be sent\n");
}

} // namespace
