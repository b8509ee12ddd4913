#include "detect/modemdetect.h"

#include "base/format.h"
#include "comm/comm.h"
#include "gsm/atparser.h"
#include "gsm/networkoperator.h"
#include "gsm/operators.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kestrel {

// The network in the form the modem has set (the probe changes no setting): a name as it is, a
// code with the name the providers list gives it. A malformed answer names no network.
static void ReadOperator(const std::string &line, TDetectResult &r)
{
    TCOPSAnswer a;
    try {
        a = ParseCOPSRead(line);
    } catch (const std::exception &) {
        return;
    }
    if (a.Format == 2) {
        r.operatorCode = a.Operator;
        r.operatorName = NetworkName(a.Operator).toStdString();
    } else {
        r.operatorName = a.Operator;
    }
    r.technology = AccessTechnologyName(a.AcT);
}

namespace {

using TClock = std::chrono::steady_clock;

// Longest answer line kept; the rest of a longer one is dropped (a device that streams bytes
// without line ends cannot grow memory).
constexpr size_t kMaxProbeLine = 1024;

// What came back for one command.
struct TProbeAnswer {
    bool finished = false; // a final result came
    bool ok = false;       // ... and it was OK
    std::string finalLine;
    std::vector<std::string> lines; // the answer, without the echo and other commands' lines
    size_t bytes = 0;
    size_t echoes = 0; // lines that repeated the command
    size_t others = 0; // lines that did not
};

// Reads the answer to one command out of received chunks: lines end at CR or LF; the echo of the
// command, result codes and (for an extended command) lines of other commands are told apart.
class TAnswerReader {
public:
    explicit TAnswerReader(const std::string &command)
        : m_command(UpperASCII(command)), m_prefix(ATCommandName(command).value_or("") + ":")
    {
    }

    void Feed(std::string_view chunk, TProbeAnswer &a)
    {
        a.bytes += chunk.size();
        for (char c : chunk) {
            if (a.finished)
                return;
            if (c == '\r' || c == '\n') {
                if (!m_overlong)
                    line(std::string(TrimBlanks(m_partial)), a);
                m_partial.clear();
                m_overlong = false;
            } else if (m_partial.size() < kMaxProbeLine) {
                m_partial += c;
            } else {
                m_overlong = true;
            }
        }
    }

private:
    void line(const std::string &text, TProbeAnswer &a)
    {
        if (text.empty())
            return;
        const std::string upper = UpperASCII(text);
        if (upper == m_command) {
            ++a.echoes;
            return;
        }
        ++a.others;
        const TResultCode *code = FindResultCode(text);
        // Numeric result codes (ATV0): 0 OK, 4 ERROR.
        if ((code && code->params.find("RES") != std::string_view::npos) || text == "0" || text == "4") {
            a.finished = true;
            a.ok = ResultIsOK(text) || text == "0";
            a.finalLine = text;
            return;
        }
        if (upper.rfind(m_prefix, 0) == 0)
            a.lines.emplace_back(TrimBlanks(std::string_view(text).substr(m_prefix.size())));
        else if (text[0] != '+' && text[0] != '^')
            a.lines.push_back(text);
        // Lines of other commands ("+CREG: 1" between) are not the answer.
    }

    std::string m_command;
    std::string m_prefix;
    std::string m_partial;
    bool m_overlong = false;
};

speed_t SpeedCode(int baud)
{
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return 0;
    }
}

// The device opened for the probe; the destructor puts its line settings back as they were.
class TProbePort {
public:
    explicit TProbePort(const std::string &device)
    {
        m_fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            const int err = errno;
            // Probes run on threads of their own: the error text from the thread-safe catalogue.
            throw std::runtime_error(Format("cannot open the device: %s%s",
                                            std::generic_category().message(err).c_str(),
                                            err == EACCES ? " (is the user in the group dialout?)" : ""));
        }
        if (tcgetattr(m_fd, &m_saved) != 0) {
            close(m_fd);
            throw std::runtime_error("not a serial device");
        }
    }
    ~TProbePort()
    {
        // What is still unsent goes, so that restoring never waits on a stuck line.
        tcflush(m_fd, TCIOFLUSH);
        tcsetattr(m_fd, TCSANOW, &m_saved);
        close(m_fd);
    }
    TProbePort(const TProbePort &) = delete;
    TProbePort &operator=(const TProbePort &) = delete;

    // Raw 8N1 without flow control at the speed; false when the driver refuses it.
    bool SetSpeed(int baud)
    {
        const speed_t speed = SpeedCode(baud);
        if (speed == 0)
            return false;
        termios t = m_saved;
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        return tcsetattr(m_fd, TCSANOW, &t) == 0;
    }

    TProbeAnswer Exchange(const std::string &command, int timeoutMs)
    {
        TProbeAnswer answer;
        TAnswerReader reader(command);
        const auto end = TClock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
        tcflush(m_fd, TCIFLUSH); // what came before is no answer to this
        const std::string text = command + "\r";
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = write(m_fd, text.data() + sent, text.size() - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return answer;
            } else if (!waitFor(POLLOUT, end)) {
                return answer;
            }
        }
        char buf[512];
        while (!answer.finished) {
            const ssize_t n = read(m_fd, buf, sizeof buf);
            if (n > 0) {
                reader.Feed(std::string_view(buf, static_cast<size_t>(n)), answer);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                break; // the other end is gone
            } else if (!waitFor(POLLIN, end)) {
                break; // a raw tty without VMIN reads 0 bytes when there are none
            }
        }
        return answer;
    }

private:
    bool waitFor(short events, TClock::time_point end)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{m_fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        return r > 0 && (p.revents & events);
    }

    int m_fd = -1;
    termios m_saved{};
};

std::string FirstLine(const TProbeAnswer &a)
{
    return a.ok && !a.lines.empty() ? a.lines.front() : std::string();
}

// The quoted names of a list such as ("SM","ME","MT"), in order, each once.
void AddNames(std::string_view list, std::vector<std::string> &names)
{
    if (!list.empty() && list.front() == '(')
        list.remove_prefix(1);
    if (!list.empty() && list.back() == ')')
        list.remove_suffix(1);
    for (size_t pos = 0; HasParam(list, pos);) {
        const std::string name = Dequote(ExtractParam(list, pos));
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
}

std::string BaudList(const std::vector<int> &bauds)
{
    std::string text;
    for (size_t i = 0; i < bauds.size(); ++i)
        text += (i == 0 ? "" : i + 1 == bauds.size() ? " or " : ", ") + std::to_string(bauds[i]);
    return text;
}

// The probe proper, on a locked device.
void Probe(TDetectResult &r, const TDetectOptions &options)
{
    const auto deadline = TClock::now() + std::chrono::milliseconds(options.deadlineMs);
    auto left = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count());
    };
    TProbePort port(r.device);

    size_t bytes = 0, echoes = 0, others = 0;
    for (int baud : options.bauds) {
        if (left() <= 0)
            break;
        if (!port.SetSpeed(baud))
            continue;
        const TProbeAnswer a = port.Exchange("AT", std::min(options.answerTimeoutMs, left()));
        bytes += a.bytes;
        echoes += a.echoes;
        others += a.others;
        if (a.finished) {
            r.baud = baud;
            break;
        }
    }
    if (r.baud == 0) {
        if (bytes == 0)
            r.error = "no answer to AT at " + BaudList(options.bauds) + " baud";
        else if (others == 0 && echoes > 0)
            r.error = "echoes what it is sent and answers nothing: no modem";
        else
            r.error = "answers AT with no result code at any speed: no modem";
        return;
    }

    // A device that stops answering is given up after two silent queries.
    int silent = 0;
    auto query = [&](const char *command) {
        TProbeAnswer a;
        if (silent < 2 && left() > 0)
            a = port.Exchange(command, std::min(options.queryTimeoutMs, left()));
        silent = a.finished ? 0 : silent + 1;
        return a;
    };
    query("ATE0");
    const TProbeAnswer info = query("ATI");
    const TProbeAnswer maker = query("AT+CGMI");
    const TProbeAnswer model = query("AT+CGMM");
    const TProbeAnswer revision = query("AT+CGMR");
    const TProbeAnswer serial = query("AT+CGSN");
    const TProbeAnswer pin = query("AT+CPIN?");
    const TProbeAnswer formats = query("AT+CMGF=?");
    const TProbeAnswer storages = query("AT+CPMS=?");
    const TProbeAnswer indications = query("AT+CNMI=?");
    const TProbeAnswer charsets = query("AT+CSCS=?");
    const TProbeAnswer network = query("AT+COPS?");

    // ATI answers maker, model and revision on most modems: the stand-in where a query fails.
    auto infoLine = [&](size_t i) {
        return info.ok && info.lines.size() > i ? info.lines[i] : std::string();
    };
    r.manufacturer = FirstLine(maker).empty() ? infoLine(0) : FirstLine(maker);
    r.model = FirstLine(model).empty() ? infoLine(1) : FirstLine(model);
    r.imei = Dequote(FirstLine(serial));
    if (pin.ok && !pin.lines.empty())
        r.pin = pin.lines.front();
    else if (pin.finished)
        r.pin = pin.finalLine;
    if (formats.ok && !formats.lines.empty()) {
        size_t pos = 0;
        const auto set = ParseRangeSet(formats.lines.front(), pos);
        if (set.test(0))
            r.formats.push_back("pdu");
        if (set.test(1))
            r.formats.push_back("text");
    }
    if (storages.ok && !storages.lines.empty()) {
        const std::string &line = storages.lines.front();
        for (size_t pos = 0; HasParam(line, pos);)
            AddNames(ExtractParam(line, pos), r.storages);
    }
    r.indications = FirstLine(indications);
    if (charsets.ok && !charsets.lines.empty())
        AddNames(charsets.lines.front(), r.charsets);
    if (network.ok && !network.lines.empty())
        ReadOperator(network.lines.front(), r);
    r.equipment = SuggestEquipment(r.manufacturer, r.model, r.formats);
    // The Nokia 6650 answers the revision query on its fourth line.
    const size_t revisionLine =
        r.equipment ? static_cast<size_t>(EquipmentBehaviour(*r.equipment).revisionLine) : 1;
    if (revision.ok && revision.lines.size() >= revisionLine && revisionLine > 1)
        r.revision = revision.lines[revisionLine - 1];
    else
        r.revision = FirstLine(revision).empty() ? infoLine(2) : FirstLine(revision);
}

struct TSuggestion {
    const char *maker; // part of the +CGMI answer, upper case
    const char *model; // the +CGMM answer starts with it (prefix) or contains it
    bool prefix;
    TGSMEquipment equipment;
};

// Known handsets and modules by what they answer; the first row that fits counts.
const TSuggestion kSuggestions[] = {
    {"SIEMENS", "TC35", true, eqTC35},
    {"SIEMENS", "M35", true, eqM35},
    {"SIEMENS", "S25", true, eqS25},
    {"SIEMENS", "M20", true, eqM20},
    {"SIEMENS", "A1", true, eqA1},
    {"SIEMENS", "M1", true, eqM1},
    {"ERICSSON", "GM12", false, eqGM12},
    {"NOKIA", "6210", false, eqNokia6210},
    {"NOKIA", "6650", false, eqNokia6650},
    {"NOKIA", "9110", false, eqNokia9110},
    {"MOTOROLA", "T260", false, eqT260},
    // Wavecom's dual-band modules name their bands as the model; they speak text mode too.
    {"WAVECOM", "MULTIBAND", false, eqFasttrack},
    {"WAVECOM", "", false, eqWaveCom},
};

} // namespace

std::optional<TGSMEquipment> SuggestEquipment(const std::string &manufacturer, const std::string &model,
                                              const std::vector<std::string> &formats)
{
    const std::string maker = UpperASCII(manufacturer);
    const std::string name = UpperASCII(TrimBlanks(model));
    for (const auto &s : kSuggestions) {
        if (maker.find(s.maker) == std::string::npos)
            continue;
        if (s.prefix ? name.rfind(s.model, 0) == 0 : name.find(s.model) != std::string::npos)
            return s.equipment;
    }
    if (!formats.empty())
        return eqGeneric;
    return std::nullopt;
}

TDetectResult ProbeDevice(const TSerialDevice &device, const TDetectOptions &options)
{
    TDetectResult r;
    r.device = device.device;
    r.byId = device.byId;
    const std::string lockName = LockFileName(device.device);
    if (const long owner = LockOwner(lockName)) {
        r.lockedBy = owner;
        r.error = Format("Device \"%s\" is locked", device.device.c_str());
        return r;
    }
    try {
        CreateLockFile(lockName, device.device);
    } catch (const std::exception &e) {
        r.error = e.what();
        r.lockedBy = LockOwner(lockName);
        return r;
    }
    try {
        Probe(r, options);
    } catch (const std::exception &e) {
        r.error = e.what();
    }
    RemoveLockFile(lockName);
    return r;
}

std::vector<TDetectResult> DetectModems(const std::vector<TSerialDevice> &devices,
                                        const TDetectOptions &options)
{
    std::vector<TDetectResult> results(devices.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < devices.size(); ++i) {
        try {
            threads.emplace_back([&, i] { results[i] = ProbeDevice(devices[i], options); });
        } catch (const std::system_error &) {
            results[i] = ProbeDevice(devices[i], options); // no thread to be had: in turn
        }
    }
    for (auto &t : threads)
        t.join();
    return results;
}

} // namespace kestrel
