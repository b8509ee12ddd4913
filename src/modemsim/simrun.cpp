#include "modemsim/simrun.h"

#include "modemsim/modemprofiles.h"

#include <cctype>

#include <cerrno>
#include <csignal>
#include <cstring>
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
           "       [--registration N] [--rssi N] [--own-number NUMBER] [--cnmi-ranges RANGES]\n"
           "\n"
           "Runs a virtual GSM handset on a pseudo-terminal until interrupted. The first line of\n"
           "output is the device path to open. Equipment names: A1 M1 M20 GM12 Nokia6210 Nokia6650\n"
           "Nokia9110 M35 S25 T260 WaveCom TC35 Fasttrack (default M20).\n"
           "\n"
           "Control lines on standard input (each answered with OK or ERROR: reason):\n"
           "  registration N        network registration status (+CREG <stat>)\n"
           "  signal N              signal quality (+CSQ <rssi>)\n"
           "  unsolicited TEXT      send TEXT as an unsolicited line\n"
           "  raw TEXT              send TEXT as given (\\r \\n \\xHH escapes)\n"
           "  hangup                close the device\n"
           "  quit                  end the program\n";
}

std::string ParseModemSimulatorArgs(const std::vector<std::string> &args, TModemSimulatorOptions &options,
                                    bool &help)
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
        static const char *withValue[] = {"--equipment",    "--pin",  "--puk",        "--link",
                                          "--registration", "--rssi", "--own-number", "--cnmi-ranges"};
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
        } else if (name == "--cnmi-ranges") {
            options.cnmiRanges = value;
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
    std::string word = line.substr(0, line.find(' '));
    std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
    int number = 0;
    if (word == "quit") {
        quit = true;
    } else if (word == "registration" && parseInt(rest, number)) {
        sim.SetRegistration(number);
    } else if (word == "signal" && parseInt(rest, number)) {
        sim.SetSignal(number);
    } else if (word == "unsolicited" && !rest.empty()) {
        sim.SendUnsolicited(rest);
    } else if (word == "raw" && !rest.empty()) {
        sim.SendRaw(unescape(rest));
    } else if (word == "hangup") {
        sim.HangUp();
    } else {
        return "ERROR: unknown or incomplete command: " + line;
    }
    return "OK";
}

int RunModemSimulator(const TModemSimulatorOptions &options, FILE *out, FILE *err, int controlFd)
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
        std::fprintf(out, "%s\n", sim.DevicePath().c_str());
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
            if (fds[0].revents & POLLIN)
                break;
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

} // namespace kestrel
