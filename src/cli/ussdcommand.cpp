// kestrel ussd: sends a USSD code (TS 27.007 7.15) such as "*100#" and prints the network's
// answer; a menu that wants an answer is continued with the --reply texts in order, then, when
// standard input is a terminal, with what the user types. A session the network leaves open is
// ended with AT+CUSD=2.
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include <QJsonObject>

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace kestrel::cli {

namespace {

constexpr int kDefaultTimeoutS = 30;

QJsonObject AnswerJson(const TUSSDAnswer &a)
{
    QJsonObject json{{"status", USSDStatusName(a.Status)}, {"code", a.Status}};
    json["dcs"] = a.DCS >= 0 ? QJsonValue(a.DCS) : QJsonValue(QJsonValue::Null);
    json["text"] = a.HasText ? QJsonValue(a.Text) : QJsonValue(QJsonValue::Null);
    json["raw"] = a.HasText
                      ? QJsonValue(QString::fromLatin1(a.Raw.data(), static_cast<qsizetype>(a.Raw.size())))
                      : QJsonValue(QJsonValue::Null);
    return json;
}

// The next answer to a menu: a --reply text, else a line typed at the terminal; nothing ends.
bool NextReply(QStringList &replies, QString &reply)
{
    if (!replies.isEmpty()) {
        reply = replies.takeFirst();
        return true;
    }
    if (!isatty(STDIN_FILENO))
        return false;
    std::fputs("reply> ", stderr);
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        return false;
    reply = QString::fromStdString(line).trimmed();
    return !reply.isEmpty();
}

int RunUSSD(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"reply", "Answer to a menu of the network (repeatable, used in order).", "TEXT"});
    parser.addOption({"timeout", "Seconds to wait for each answer of the network (default 30).", "SECONDS"});
    parser.addOption({"json", "One JSON line per answer: status, code, dcs, text, raw."});
    return RunSessionCommand(
        parser, args, "Sends a USSD code (e.g. *100# for the balance) and prints the network's answer.",
        [&](TSession &s) {
            const QString code = parser.positionalArguments().value(0);
            if (code.isEmpty() || parser.positionalArguments().size() > 1) {
                PrintErr("kestrel: give one USSD code, e.g. \"*100#\"");
                return kExitUsage;
            }
            int timeoutS = kDefaultTimeoutS;
            if (parser.isSet("timeout")) {
                bool ok = false;
                timeoutS = parser.value("timeout").toInt(&ok);
                if (!ok || timeoutS < 1 || timeoutS > 600) {
                    PrintErr("kestrel: --timeout must be a number of seconds from 1 to 600");
                    return kExitUsage;
                }
            }
            const bool json = parser.isSet("json");
            QStringList replies = parser.values("reply");
            s.gsm.Open();
            bool open = false; // the network waits for an answer
            try {
                QString sent = code;
                for (;;) {
                    const TUSSDAnswer a = s.gsm.SendUSSD(sent, timeoutS * 1000);
                    open = a.Status == ussdActionRequired;
                    if (json)
                        PrintJson(AnswerJson(a));
                    else if (a.HasText)
                        PrintOut(a.Text);
                    if (a.Status == ussdNotSupported || a.Status == ussdNetworkTimeout) {
                        PrintErr(QString("kestrel: the network answered %1 to %2 (%3)")
                                     .arg(a.Status)
                                     .arg(sent, USSDStatusName(a.Status)));
                        s.gsm.Close();
                        return kExitFailure;
                    }
                    if (!open || !NextReply(replies, sent))
                        break;
                }
                if (open)
                    s.gsm.CancelUSSD();
            } catch (...) {
                // The network may still hold the session: it is ended before the error is told.
                try {
                    s.gsm.CancelUSSD();
                } catch (const std::exception &) {
                }
                throw;
            }
            s.gsm.Close();
            return kExitOk;
        },
        "CODE",
        "A menu (status 1) is continued with the --reply texts in order, then, when standard input\n"
        "is a terminal, with the lines typed (an empty line ends); a session left open is ended\n"
        "with AT+CUSD=2. Exit status 1 when the network refuses the code or does not answer.");
}

const TCliRegistration kUSSD({"ussd", "Send a USSD code such as *100# and print the network's answer",
                              RunUSSD});

} // namespace

} // namespace kestrel::cli
