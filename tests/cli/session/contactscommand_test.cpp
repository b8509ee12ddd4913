// kestrel contacts as a process against kestrel-modemsim and a store file: the handset's
// phonebooks listed and exported, vCard files imported into the store and the phonebook (and not
// twice), the home country of national numbers, and files that import nothing.
#include "clisessiontest.h"

#include <QJsonArray>

namespace {

class CliContacts : public CliSession {
protected:
    TRun Contacts(const QStringList &more) { return Kestrel(Session(QStringList{"contacts"} + more)); }
    QString Write(const QString &name, const QByteArray &text)
    {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    }
    // The store's contacts as "name: number/key, ..." lines.
    QStringList StoreContacts()
    {
        TRun run = Contacts({"list", "--json"});
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        QStringList out;
        for (const QJsonObject &c : run.json) {
            QStringList numbers;
            for (const QJsonValue &n : c["numbers"].toArray())
                numbers << n["number"].toString() + "/" + n["key"].toString();
            out << c["name"].toString() + ": " + numbers.join(", ");
        }
        return out;
    }
};

TEST_F(CliContacts, ListsAndExportsThePhonebooks)
{
    TRun sm = Contacts({"list", "--storage", "SM"});
    EXPECT_EQ(sm.status, 0) << sm.err.toStdString();
    EXPECT_EQ(sm.out, "   1  +491711234567         Anna Schmidt\n"
                      "   2  +79161234567          Иван\n"
                      "   3  0301234567            shop@net_1\n");
    TRun me = Contacts({"export", "--storage", "me"});
    EXPECT_EQ(me.status, 0) << me.err.toStdString();
    EXPECT_EQ(me.out,
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Mailbox\r\nN:;Mailbox;;;\r\nTEL;TYPE=VOICE:+491710760333\r\n"
              "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ольга\r\nN:;Ольга;;;\r\n"
              "TEL;TYPE=VOICE:004917122233344\r\nEND:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:Balance\r\n"
              "N:;Balance;;;\r\nTEL;TYPE=VOICE:*100#\r\nEND:VCARD\r\n");
    EXPECT_EQ(me.err, "kestrel contacts: 3 contacts exported\n");
    // The names went in UCS2 and the handset's character set is back.
    const QStringList transcript = sim.Control("transcript");
    EXPECT_TRUE(transcript.contains("< AT+CSCS=\"UCS2\"")) << transcript.join('\n').toStdString();
    EXPECT_TRUE(transcript.contains("< AT+CPBR=1,20"));
}

TEST_F(CliContacts, ImportsIntoTheStoreOnceWithTheHomeCountry)
{
    const QString cards = Write(
        "cards.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Schmidt\r\n"
                     "TEL;TYPE=CELL:0171 1234567\r\nTEL;TYPE=HOME:+49 30 1234567\r\nEND:VCARD\r\n"
                     "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Petrov;Ivan\r\nTEL:+79161234567\r\nEND:VCARD\r\n");
    TRun first = Contacts({"import", cards, "--country-code", "DE"});
    EXPECT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_EQ(first.err, "kestrel contacts: 2 cards kept as 2 contacts in the store\n");
    // Again, now with the number in its international form: still two contacts.
    const QString again =
        Write("again.vcf", "BEGIN:VCARD\r\nFN:Anna Schmidt\r\nTEL:+491711234567\r\nEND:VCARD\r\n");
    EXPECT_EQ(Contacts({"import", again, "--country-code", "+49"}).status, 0);
    EXPECT_EQ(StoreContacts(),
              (QStringList{"Anna Schmidt: 0171 1234567/491711234567, +49 30 1234567/49301234567",
                           "Ivan Petrov: +79161234567/79161234567"}));
    // The settings file's country, when no option gives one.
    WriteSettings("[Modem.Files]\nStore=" + StorePath().toStdString() + "\n[Contacts]\nCountryCode=44\n");
    const QString uk = Write("uk.vcf", "BEGIN:VCARD\r\nFN:Bob\r\nTEL:07700 900123\r\nEND:VCARD\r\n");
    EXPECT_EQ(Contacts({"import", uk}).status, 0);
    EXPECT_TRUE(StoreContacts().contains("Bob: 07700 900123/447700900123"));
    // The store's contacts out as cards, with their labels.
    TRun exported = Contacts({"export", "--output", dir.filePath("out.vcf")});
    EXPECT_EQ(exported.status, 0) << exported.err.toStdString();
    EXPECT_TRUE(ReadText(dir.filePath("out.vcf"))
                    .contains("FN:Anna Schmidt\r\nN:;Anna Schmidt;;;\r\n"
                              "TEL;TYPE=CELL:0171 1234567\r\n"
                              "TEL;TYPE=HOME:+49 30 1234567\r\n"));
    EXPECT_EQ(Contacts({"import", uk, "--country-code", "XX"}).status, 2);
}

TEST_F(CliContacts, ImportsIntoTheHandsetWithTheSIMsCountry)
{
    const QString cards =
        Write("cards.vcf", "BEGIN:VCARD\r\nFN:Zoë\r\nTEL:0171 2223334\r\nTEL;TYPE=WORK:+4930999\r\n"
                           "END:VCARD\r\nBEGIN:VCARD\r\nFN:Anna Schmidt\r\nTEL:01711234567\r\n"
                           "END:VCARD\r\n");
    TRun run = Contacts({"import", cards, "--to-handset"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    // Anna is on the SIM already (as +49...: the SIM's MCC 262 makes 0171... the same number).
    EXPECT_EQ(run.err, "kestrel contacts: 2 entries written to the phonebook SM\n"
                       "kestrel contacts: 2 cards kept as 2 contacts in the store\n");
    EXPECT_TRUE(sim.Control("transcript").contains("< AT+CIMI"));
    TRun sm = Contacts({"list", "--storage", "SM", "--json"});
    ASSERT_EQ(sm.json.size(), 5u) << sm.out.toStdString();
    EXPECT_EQ(sm.json[3]["index"].toInt(), 4);
    EXPECT_EQ(sm.json[3]["name"].toString(), "Zoë");
    EXPECT_EQ(sm.json[3]["number"].toString(), "01712223334");
    EXPECT_EQ(sm.json[4]["number"].toString(), "+4930999");
    EXPECT_EQ(sm.json[4]["type"].toInt(), 145);
    EXPECT_TRUE(StoreContacts().contains("Zoë: 0171 2223334/491712223334, +4930999/4930999"));
    // Once more: nothing new on the handset.
    TRun again = Contacts({"import", cards, "--to-handset", "--no-store"});
    EXPECT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_EQ(again.err, "kestrel contacts: 0 entries written to the phonebook SM\n");
}

TEST_F(CliContacts, BadInputImportsNothing)
{
    struct TCase {
        const char *name;
        QByteArray text;
        QStringList options;
        QString error;
    };
    const QString tooLong = "BEGIN:VCARD\r\nFN:Ekaterina Ivanovna\r\nTEL:123456\r\nEND:VCARD\r\n";
    const std::vector<TCase> cases = {
        {"not a vCard", "Name,Number\nAnna,0171\n", {}, "no vCard in it (no BEGIN:VCARD line)"},
        {"no number",
         "BEGIN:VCARD\r\nFN:Anna\r\nEMAIL:a@example.org\r\nEND:VCARD\r\n",
         {},
         "card 1 (line 1) \"Anna\": no phone number (TEL)"},
        {"no END", "BEGIN:VCARD\r\nFN:Anna\r\nTEL:123456\r\n", {}, "card 1 (line 1): no END:VCARD"},
        {"overlong line",
         "BEGIN:VCARD\r\nFN:Anna\r\nNOTE:" + QByteArray(70000, 'x') + "\r\nTEL:1\r\nEND:VCARD\r\n",
         {},
         "line 3: a line of more than 65536 octets"},
        {"name too long for the SIM",
         tooLong.toUtf8(),
         {"--to-handset"},
         "The name \"Ekaterina Ivanovna\" is too long for the phonebook SM: it takes 18 of the 14 places of "
         "a name"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = Write("bad.vcf", c.text);
        TRun run = Contacts(QStringList{"import", file} + c.options);
        EXPECT_EQ(run.status, 1);
        const QString expected = c.options.isEmpty() ? "kestrel contacts: " + file + ": " + c.error +
                                                           "\nkestrel contacts: nothing imported\n"
                                                     : c.error + "\n";
        EXPECT_EQ(run.err, expected);
        EXPECT_TRUE(StoreContacts().isEmpty());
    }
    // A good file beside a bad one: nothing of either.
    const QString good = Write("good.vcf", "BEGIN:VCARD\r\nFN:Good\r\nTEL:123456\r\nEND:VCARD\r\n");
    TRun both = Contacts({"import", good, dir.filePath("missing.vcf")});
    EXPECT_EQ(both.status, 1);
    EXPECT_TRUE(both.err.endsWith("kestrel contacts: nothing imported\n")) << both.err.toStdString();
    EXPECT_TRUE(StoreContacts().isEmpty());
    // Usage errors.
    for (const QStringList &args :
         {QStringList{}, QStringList{"call"}, QStringList{"import"}, QStringList{"list", "x.vcf"},
          QStringList{"export", "--json"}, QStringList{"list", "--to-handset"},
          QStringList{"import", good, "--no-store"}})
        EXPECT_EQ(Contacts(args).status, 2) << args.join(' ').toStdString();
}

} // namespace
