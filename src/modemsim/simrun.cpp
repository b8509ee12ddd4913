#include "modemsim/simrun.h"

#include "modemsim/modemprofiles.h"

#include <cctype>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr size_t kMaxControlLine = 8192;

bool parseInt(const std::string &text, int &value)
{
    if (text.empty() || text.size() > 9)
        return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return false;
    int v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    value = text[0] == '-' ? -v : v;
    return true;
}

// "\r", "\n", "\\" and "\xHH" in control arguments stand for those bytes.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size() + 0 &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

} // namespace

std::string ModemSimulatorUsage(const std::string &program)
{
    return "Usage: " + program +
           " [--equipment NAME] [--pin PIN] [--puk PUK] [--link PATH]\n"
           "       [--registration N] [--rssi N] [--own-number NUMBER] [--sca NUMBER]\n"
           "       [--cnmi-ranges RANGES] [--peer NUMBER] [--lte-only]\n"
           "       [--operator MCCMNC] [--numeric-operator]\n"
           "\n"
           "Runs a virtual GSM handset on a pseudo-terminal until interrupted. The first line of\n"
           "output is the device path to open. Equipment names: A1 M1 M20 GM12 Nokia6210 Nokia6650\n"
           "Nokia9110 M35 S25 T260 WaveCom TC35 Fasttrack Generic (default M20; Generic is a current\n"
           "LTE module). Messages sent to the own number (default +491710000001) come back as\n"
           "received messages. --peer runs a second handset of the same model with that own number\n"
           "on the same network; its device path is the second line of output. --lte-only: the\n"
           "network is reached over LTE only (+CREG reports 0, +CEREG the registration).\n"
           "--operator: the network's code (default 26299, named Kestrel Net); --numeric-operator:\n"
           "+COPS? gives the code in every format, as modems that know no names do.\n"
           "\n"
           "Control lines on standard input, each answered with OK (after any output lines) or\n"
           "ERROR: reason; TPDUs are hexadecimal without service-centre field:\n" +
           ModemSimulatorControlHelp();
}

namespace {

struct TControlCommand {
    const char *word;
    const char *arguments;
    const char *help;
    // Returns false when the arguments do not fit; may add output lines.
    bool (*run)(TModemSimulator &sim, const std::string &rest, std::vector<std::string> &out);
};

// Splits "first rest of line" at the first blank.
std::pair<std::string, std::string> firstWord(const std::string &text)
{
    size_t blank = text.find(' ');
    if (blank == std::string::npos)
        return {text, {}};
    return {text.substr(0, blank), text.substr(blank + 1)};
}

const TControlCommand kControlCommands[] = {
    {"registration", "N", "network registration status (+CREG <stat>)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         int n = 0;
         return parseInt(rest, n) && (sim.SetRegistration(n), true);
     }},
    {"signal", "N", "signal quality (+CSQ <rssi>)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         int n = 0;
         return parseInt(rest, n) && (sim.SetSignal(n), true);
     }},
    {"deliver", "FROM TEXT", "a 7-bit message from FROM arrives",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         auto [from, text] = firstWord(rest);
         return !from.empty() && (sim.DeliverText(from, text), true);
     }},
    {"deliver-pdu", "TPDU", "an SMS-DELIVER arrives",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.DeliverPdu(rest), true);
     }},
    {"status-report", "TPDU", "an SMS-STATUS-REPORT arrives",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.DeliverStatusReport(rest), true);
     }},
    {"broadcast", "ID TEXT", "a 7-bit cell broadcast page with message identifier ID",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         auto [id, text] = firstWord(rest);
         int n = 0;
         return parseInt(id, n) && (sim.BroadcastText(n, text), true);
     }},
    {"broadcast-pdu", "PAGE", "a cell broadcast page (88 octets)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.BroadcastPdu(rest), true);
     }},
    {"store", "MEM STAT TPDU", "puts a message into storage SM or ME; prints its index",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &out) {
         auto [mem, more] = firstWord(rest);
         auto [stat, tpdu] = firstWord(more);
         int status = 0;
         if (!parseInt(stat, status) || status < 0 || status > 3 || tpdu.empty())
             return false;
         out.push_back("index " + std::to_string(sim.StoreMessage(mem, status, tpdu)));
         return true;
     }},
    {"stored", "", "lists the storage: stored MEM INDEX STAT TPDU",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &out) {
         for (const auto &m : sim.StoredMessages())
             out.push_back("stored " + m.storage + " " + std::to_string(m.index) + " " +
                           std::to_string(m.status) + " " + m.tpdu);
         return rest.empty();
     }},
    {"sent", "", "lists what the host sent: sent REFERENCE DESTINATION TPDU",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &out) {
         for (const auto &m : sim.SentMessages())
             out.push_back("sent " + std::to_string(m.reference) + " " + m.destination + " " + m.tpdu);
         return rest.empty();
     }},
    {"transcript", "", "the dialogue so far, one line each (< received, > sent)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &out) {
         for (const auto &l : sim.Transcript())
             out.push_back(l);
         return rest.empty();
     }},
    {"unsolicited", "TEXT", "sends TEXT as an unsolicited line",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.SendUnsolicited(rest), true);
     }},
    {"raw", "TEXT", "sends TEXT as given (\\r \\n \\xHH escapes)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.SendRaw(unescape(rest)), true);
     }},
    {"delay", "MS", "delays every reply",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         int n = 0;
         return parseInt(rest, n) && (sim.SetReplyDelay(n), true);
     }},
    {"ussd-delay", "MS", "the network answers USSD strings after MS",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         int n = 0;
         return parseInt(rest, n) && (sim.SetUSSDDelay(n), true);
     }},
    {"silent", "on|off", "answers nothing at all",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return (rest == "on" || rest == "off") && (sim.SetSilent(rest == "on"), true);
     }},
    {"fail", "LINE", "answers the next command with LINE (e.g. +CME ERROR: 11)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return !rest.empty() && (sim.FailNextCommand(rest), true);
     }},
    {"restart", "MS [BANNER]", "restarts: silent for MS, then BANNER (escapes) and power-on settings",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         auto [ms, banner] = firstWord(rest);
         int n = 0;
         return parseInt(ms, n) && (sim.Restart(n, unescape(banner)), true);
     }},
    {"bytewise", "MS", "writes every byte on its own, MS apart (0: off)",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         int n = 0;
         return parseInt(rest, n) && (sim.SetByteAtATime(n), true);
     }},
    {"hangup", "", "closes the device",
     [](TModemSimulator &sim, const std::string &rest, std::vector<std::string> &) {
         return rest.empty() && (sim.HangUp(), true);
     }},
};

} // namespace

std::string ModemSimulatorControlHelp()
{
    std::string text;
    for (const auto &c : kControlCommands) {
        std::string head = std::string(c.word) + (*c.arguments ? " " : "") + c.arguments;
        text += "  " + head + std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') + c.help + "\n";
    }
    text += "  quit                  ends the program\n";
    return text;
}

std::string ParseModemSimulatorArgs(const std::vector<std::string> &args, TModemSimulatorOptions &options,
                                    std::string &peerNumber, bool &help)
{
    help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            help = true;
            continue;
        }
        if (name == "--lte-only" && !hasValue) {
            options.lteOnly = true;
            continue;
        }
        if (name == "--numeric-operator" && !hasValue) {
            options.numericOperatorOnly = true;
            continue;
        }
        static const char *withValue[] = {"--equipment",    "--pin",  "--puk",        "--link",
                                          "--registration", "--rssi", "--own-number", "--sca",
                                          "--cnmi-ranges",  "--peer", "--operator"};
        bool known = false;
        for (const char *w : withValue)
            known = known || name == w;
        if (!known)
            return "unknown option: " + args[i];
        if (!hasValue) {
            if (i + 1 >= args.size())
                return "missing value for " + name;
            value = args[++i];
        }
        int number = 0;
        if (name == "--equipment") {
            if (!FindModemProfile(value))
                return "unknown equipment: " + value;
            options.equipment = value;
        } else if (name == "--pin") {
            options.pin = value;
        } else if (name == "--puk") {
            options.puk = value;
        } else if (name == "--link") {
            options.linkPath = value;
        } else if (name == "--own-number") {
            options.ownNumber = value;
        } else if (name == "--sca") {
            options.sca = value;
        } else if (name == "--cnmi-ranges") {
            options.cnmiRanges = value;
        } else if (name == "--peer") {
            peerNumber = value;
        } else if (name == "--operator") {
            // TS 23.003 2.2: three MCC digits and two or three MNC digits.
            if ((value.size() != 5 && value.size() != 6) ||
                value.find_first_not_of("0123456789") != std::string::npos)
                return "bad network code for --operator: " + value;
            options.operatorNumeric = value;
        } else if (!parseInt(value, number) || number < 0 || number > 99) {
            return "bad number for " + name + ": " + value;
        } else if (name == "--registration") {
            options.registration = number;
        } else {
            options.rssi = number;
        }
    }
    return {};
}

std::string ModemSimulatorControl(TModemSimulator &sim, const std::string &line, bool &quit)
{
    auto [word, rest] = firstWord(line);
    if (word == "quit" && rest.empty()) {
        quit = true;
        return "OK";
    }
    for (const auto &c : kControlCommands) {
        if (word != c.word)
            continue;
        std::vector<std::string> out;
        try {
            if (!c.run(sim, rest, out))
                return "ERROR: usage: " + std::string(c.word) + " " + c.arguments;
        } catch (const std::exception &e) {
            return std::string("ERROR: ") + e.what();
        }
        std::string text;
        for (const auto &l : out)
            text += l + "\n";
        return text + "OK";
    }
    return "ERROR: unknown command: " + word;
}

int RunModemSimulator(const TModemSimulatorOptions &options, FILE *out, FILE *err, int controlFd,
                      const std::string &peerNumber)
{
    // The signals are taken through a descriptor; blocking them first also keeps them away from
    // the simulator's thread.
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    int sigFd = signalfd(-1, &signals, SFD_CLOEXEC);
    int status = 0;
    try {
        TModemSimulator sim(options);
        std::unique_ptr<TModemSimulator> peer;
        if (!peerNumber.empty()) {
            TModemSimulatorOptions peerOptions = options;
            peerOptions.ownNumber = peerNumber;
            peerOptions.linkPath.clear();
            peer = std::make_unique<TModemSimulator>(peerOptions);
            sim.Join(*peer);
        }
        std::fprintf(out, "%s\n", sim.DevicePath().c_str());
        if (peer)
            std::fprintf(out, "%s\n", peer->DevicePath().c_str());
        std::fflush(out);
        std::string input;
        bool quit = false;
        bool controlOpen = controlFd >= 0;
        while (!quit) {
            pollfd fds[2] = {{sigFd, POLLIN, 0}, {controlFd, POLLIN, 0}};
            int rc = ::poll(fds, controlOpen ? 2 : 1, -1);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (fds[0].revents & POLLIN) {
                // Take the signal, or restoring the mask below would deliver it after all.
                signalfd_siginfo info;
                [[maybe_unused]] ssize_t n = ::read(sigFd, &info, sizeof info);
                break;
            }
            if (controlOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[1024];
                ssize_t n = ::read(controlFd, buf, sizeof buf);
                if (n <= 0) {
                    // End of the control input: keep running until a signal ends us.
                    controlOpen = false;
                    continue;
                }
                input.append(buf, static_cast<size_t>(n));
                size_t eol;
                while (!quit && (eol = input.find('\n')) != std::string::npos) {
                    std::string line = input.substr(0, eol);
                    input.erase(0, eol + 1);
                    if (!line.empty() && line.back() == '\r')
                        line.pop_back();
                    if (line.empty())
                        continue;
                    std::fprintf(out, "%s\n", ModemSimulatorControl(sim, line, quit).c_str());
                    std::fflush(out);
                }
                if (input.size() > kMaxControlLine)
                    input.clear();
            }
        }
    } catch (const std::exception &e) {
        std::fprintf(err, "%s\n", e.what());
        status = 1;
    }
    if (sigFd >= 0)
        ::close(sigFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

int ModemSimulatorMain(const std::vector<std::string> &args, const std::string &program)
{
    TModemSimulatorOptions options;
    std::string peer;
    bool help = false;
    std::string error = ParseModemSimulatorArgs(args, options, peer, help);
    if (help) {
        std::fputs(ModemSimulatorUsage(program).c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                     ModemSimulatorUsage(program).c_str());
        return 2;
    }
    return RunModemSimulator(options, stdout, stderr, STDIN_FILENO, peer) == 0 ? 0 : 1;
}

} // namespace kestrel
