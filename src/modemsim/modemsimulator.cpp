#include "modemsim/modemsimulator.h"

#include "modemsim/simhandset.h"

#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kestrel {

namespace {

using TClock = std::chrono::steady_clock;

// Output not yet taken by the host is kept up to this size; a host that never reads loses the
// oldest bytes rather than growing the simulator without bound.
constexpr size_t kMaxPendingOutput = 1 << 20;
constexpr size_t kMaxTranscript = 100000;

void setCloseOnExec(int fd)
{
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

} // namespace

struct TModemSimulator::TImpl : public TSimHandsetSink {
    explicit TImpl(TModemSimulatorOptions opts);
    ~TImpl() override;

    // TSimHandsetSink
    void Send(const std::string &bytes, const std::vector<std::string> &lines, bool reply) override;
    void Received(const std::string &line, bool command) override;
    void Schedule(int ms, std::function<void()> fn) override;
    void MessageSent(const TSimSentMessage &message) override;
    void ToNetwork(const TSimSubmission &submission) override;

    // Runs fn on the handset under the lock, then lets the thread write what it produced.
    template <typename F>
    auto withHandset(F fn)
    {
        struct TWake {
            TImpl *impl;
            ~TWake() { impl->wake(); }
        } waker{this};
        std::lock_guard lock(mutex);
        return fn(*handset);
    }

    void run();
    void wake();
    void closeDevice();
    void readMaster();
    void flushOutput();
    void record(std::string line);
    // Blocks until the transcript has a line with the direction mark ('<' or '>') and prefix.
    bool waitForLine(char mark, const std::string &prefix, int timeoutMs);

    TModemSimulatorOptions options;
    const TModemProfile *profile = nullptr;
    mutable std::mutex mutex;
    std::condition_variable changed; // transcript grew, or the device was closed
    std::unique_ptr<TSimHandset> handset;

    int master = -1;
    int slave = -1; // kept open so that the master never sees a hang-up between two clients
    int wakeRead = -1, wakeWrite = -1;
    std::string devicePath;
    bool linkCreated = false;
    bool stopping = false;
    bool hangUpRequested = false;
    bool hungUp = false;
    std::thread thread;

    struct TTimed {
        TClock::time_point due;
        uint64_t seq;
        std::function<void()> fn;
    };
    std::vector<TTimed> timers; // kept as a heap ordered by due time, then sequence
    static bool timerLater(const TTimed &a, const TTimed &b)
    {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }
    uint64_t timerSeq = 0;
    TClock::time_point outputNotBefore{}; // replies leave in order, even when delayed or split
    std::string pendingOutput;

    std::vector<std::string> transcript;
    std::vector<std::string> commands;
    std::vector<TSimSentMessage> sent;

    std::shared_ptr<TSimNetwork> network; // replaced when another handset's network joins
    int networkId = 0;
    std::vector<TSimSubmission> outbox; // routed by the thread once the lock is released

    std::vector<size_t> chunkPoints;
    bool randomChunks = false;
    std::mt19937 random{1};
    int replyDelayMs = 0;
    int byteGapMs = 0;     // > 0: every output byte on its own, this far apart
    uint64_t restarts = 0; // restarts begun; the last one to end brings the handset back
    bool restarting = false;
};

TModemSimulator::TImpl::TImpl(TModemSimulatorOptions opts) : options(std::move(opts))
{
    profile = FindModemProfile(options.equipment);
    if (!profile)
        throw std::invalid_argument("Unknown equipment: " + options.equipment);

    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        throw std::runtime_error(std::string("No pseudo-terminal: ") + std::strerror(errno));
    setCloseOnExec(master);
    char name[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        int err = errno;
        ::close(master);
        throw std::runtime_error(std::string("No pseudo-terminal: ") + std::strerror(err));
    }
    devicePath = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        int err = errno;
        ::close(master);
        throw std::runtime_error(std::string("Cannot open ") + name + ": " + std::strerror(err));
    }
    // A raw line: the line discipline must neither echo our answers back to us nor translate
    // line ends; the handset does its own echo.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        ::close(slave);
        ::close(master);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(err));
    }
    wakeRead = fds[0];
    wakeWrite = fds[1];

    if (!options.linkPath.empty()) {
        struct stat st {};
        // Replace an old link, never a file.
        if (lstat(options.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(options.linkPath.c_str());
        if (::symlink(devicePath.c_str(), options.linkPath.c_str()) != 0) {
            int err = errno;
            ::close(wakeRead);
            ::close(wakeWrite);
            ::close(slave);
            ::close(master);
            throw std::runtime_error("Cannot create link " + options.linkPath + ": " + std::strerror(err));
        }
        linkCreated = true;
    }

    handset = std::make_unique<TSimHandset>(options, *profile, *this);
    network = std::make_shared<TSimNetwork>();
    networkId = network->Join(
        options.ownNumber,
        [this](const TSimArrival &arrival) {
            withHandset([&](TSimHandset &h) {
                try {
                    h.Arrive(arrival);
                } catch (const std::exception &) {
                    // A message the handset cannot decode is lost, as on the air.
                }
            });
        },
        [this](const std::shared_ptr<TSimNetwork> &joined) {
            std::lock_guard lock(mutex);
            network = joined;
        });
    thread = std::thread([this] { run(); });
}

TModemSimulator::TImpl::~TImpl()
{
    // Leave the network first, so that nobody delivers to a handset on its way out. A join may
    // move us meanwhile; then we leave the network we were moved to.
    for (;;) {
        std::shared_ptr<TSimNetwork> current;
        {
            std::lock_guard lock(mutex);
            current = network;
        }
        if (current->Leave(networkId))
            break;
        std::lock_guard lock(mutex);
        if (network == current)
            break;
    }
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake();
    if (thread.joinable())
        thread.join();
    std::lock_guard lock(mutex);
    timers.clear();
    closeDevice();
    ::close(wakeRead);
    ::close(wakeWrite);
}

void TModemSimulator::TImpl::closeDevice()
{
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    slave = master = -1;
    if (linkCreated) {
        char target[256] = {};
        ssize_t n = ::readlink(options.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && devicePath == std::string(target, static_cast<size_t>(n)))
            ::unlink(options.linkPath.c_str());
        linkCreated = false;
    }
    hungUp = true;
    pendingOutput.clear();
    changed.notify_all();
}

void TModemSimulator::TImpl::wake()
{
    char c = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = ::write(wakeWrite, &c, 1);
}

void TModemSimulator::TImpl::run()
{
    std::unique_lock lock(mutex);
    while (!stopping) {
        if (hangUpRequested && !hungUp) {
            flushOutput(); // what the handset already said reaches the line before it dies
            timers.clear();
            closeDevice();
        }
        int timeout = -1;
        if (!timers.empty()) {
            auto now = TClock::now();
            auto due = timers.front().due;
            timeout = due <= now
                          ? 0
                          : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
        }
        pollfd fds[2] = {{wakeRead, POLLIN, 0}, {master, 0, 0}};
        nfds_t count = 1;
        if (master >= 0) {
            fds[1].events = POLLIN | (pendingOutput.empty() ? 0 : POLLOUT);
            count = 2;
        }
        lock.unlock();
        int rc = ::poll(fds, count, timeout);
        lock.lock();
        if (rc < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (::read(wakeRead, buf, sizeof buf) > 0) {
            }
        }
        if (count == 2 && master >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readMaster();
        auto now = TClock::now();
        while (!timers.empty() && timers.front().due <= now && !stopping) {
            std::pop_heap(timers.begin(), timers.end(), timerLater);
            auto fn = std::move(timers.back().fn);
            timers.pop_back();
            fn();
        }
        flushOutput();
        if (!outbox.empty()) {
            auto submissions = std::move(outbox);
            outbox.clear();
            auto net = network;
            lock.unlock();
            for (const auto &s : submissions) {
                try {
                    net->Route(s);
                } catch (const std::exception &) {
                    // The network refuses a submission it cannot read; the sender got its +CMGS.
                }
            }
            lock.lock();
        }
    }
    if (!stopping && !hungUp) {
        timers.clear();
        closeDevice();
    }
}

void TModemSimulator::TImpl::readMaster()
{
    char buf[4096];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) {
        handset->Receive(std::string_view(buf, static_cast<size_t>(n)));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // We hold the slave open, so this only happens when the pty itself failed: stop
        // rather than poll a dead descriptor in a loop.
        timers.clear();
        closeDevice();
    }
}

void TModemSimulator::TImpl::flushOutput()
{
    while (master >= 0 && !pendingOutput.empty()) {
        ssize_t n = ::write(master, pendingOutput.data(), pendingOutput.size());
        if (n > 0) {
            pendingOutput.erase(0, static_cast<size_t>(n));
        } else {
            if (n < 0 && errno == EINTR)
                continue;
            break; // EAGAIN: poll tells us when the host made room
        }
    }
}

void TModemSimulator::TImpl::record(std::string line)
{
    if (transcript.size() >= kMaxTranscript)
        transcript.erase(transcript.begin(), transcript.begin() + kMaxTranscript / 10);
    transcript.push_back(std::move(line));
    changed.notify_all();
}

void TModemSimulator::TImpl::Received(const std::string &line, bool command)
{
    record("< " + line);
    if (command) {
        if (commands.size() >= kMaxTranscript)
            commands.erase(commands.begin(), commands.begin() + kMaxTranscript / 10);
        commands.push_back(line);
    }
}

void TModemSimulator::TImpl::Schedule(int ms, std::function<void()> fn)
{
    timers.push_back({TClock::now() + std::chrono::milliseconds(ms), timerSeq++, std::move(fn)});
    std::push_heap(timers.begin(), timers.end(), timerLater);
}

void TModemSimulator::TImpl::MessageSent(const TSimSentMessage &message)
{
    sent.push_back(message);
    changed.notify_all();
}

void TModemSimulator::TImpl::ToNetwork(const TSimSubmission &submission)
{
    outbox.push_back(submission);
}

void TModemSimulator::TImpl::Send(const std::string &bytes, const std::vector<std::string> &lines, bool reply)
{
    if (hungUp)
        return;
    // Split points: chosen once for the next output, or random for every output.
    std::vector<size_t> points;
    if (byteGapMs > 0) {
        for (size_t p = 1; p < bytes.size(); ++p)
            points.push_back(p);
    } else if (!chunkPoints.empty()) {
        points.swap(chunkPoints);
    } else if (randomChunks) {
        std::uniform_int_distribution<size_t> step(1, 8);
        for (size_t p = step(random); p < bytes.size(); p += step(random))
            points.push_back(p);
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<std::string> chunks;
    size_t from = 0;
    for (size_t p : points) {
        if (p > from && p < bytes.size()) {
            chunks.push_back(bytes.substr(from, p - from));
            from = p;
        }
    }
    chunks.push_back(bytes.substr(from));

    auto now = TClock::now();
    auto due = std::max(now + std::chrono::milliseconds(reply ? replyDelayMs : 0), outputNotBefore);
    auto gap = std::chrono::milliseconds(byteGapMs > 0 ? byteGapMs : std::max(options.chunkGapMs, 1));
    const uint64_t generation = restarts;
    for (size_t i = 0; i < chunks.size(); ++i) {
        auto text = std::move(chunks[i]);
        std::vector<std::string> recorded = i == 0 ? lines : std::vector<std::string>();
        auto emit = [this, generation, text = std::move(text), recorded = std::move(recorded)] {
            if (generation != restarts)
                return; // the handset restarted before this part of its answer was out
            for (const auto &l : recorded)
                record("> " + l);
            if (master < 0)
                return;
            pendingOutput += text;
            if (pendingOutput.size() > kMaxPendingOutput)
                pendingOutput.erase(0, pendingOutput.size() - kMaxPendingOutput);
        };
        if (i == 0 && due <= now) {
            emit();
        } else {
            timers.push_back({due, timerSeq++, std::move(emit)});
            std::push_heap(timers.begin(), timers.end(), timerLater);
        }
        outputNotBefore = due;
        due += gap;
    }
}

// ---------------------------------------------------------------------------------------------

TModemSimulator::TModemSimulator(TModemSimulatorOptions options)
    : d(std::make_unique<TImpl>(std::move(options)))
{
}

TModemSimulator::~TModemSimulator() = default;

std::string TModemSimulator::DevicePath() const
{
    return d->devicePath;
}

std::string TModemSimulator::Equipment() const
{
    return d->profile->name;
}

std::vector<std::string> TModemSimulator::Transcript() const
{
    std::lock_guard lock(d->mutex);
    return d->transcript;
}

std::vector<std::string> TModemSimulator::ReceivedCommands() const
{
    std::lock_guard lock(d->mutex);
    return d->commands;
}

bool TModemSimulator::WaitForCommand(const std::string &prefix, int timeoutMs)
{
    std::unique_lock lock(d->mutex);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto &c : d->commands)
            if (StartsWithNoCase(c, prefix))
                return true;
        return false;
    });
}

bool TModemSimulator::TImpl::waitForLine(char mark, const std::string &prefix, int timeoutMs)
{
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto &l : transcript)
            if (l.size() >= 2 && l[0] == mark && l.compare(2, prefix.size(), prefix) == 0)
                return true;
        return false;
    });
}

bool TModemSimulator::WaitForSent(const std::string &prefix, int timeoutMs)
{
    return d->waitForLine('>', prefix, timeoutMs);
}

bool TModemSimulator::WaitForReceived(const std::string &prefix, int timeoutMs)
{
    return d->waitForLine('<', prefix, timeoutMs);
}

void TModemSimulator::ClearTranscript()
{
    std::lock_guard lock(d->mutex);
    d->transcript.clear();
    d->commands.clear();
}

void TModemSimulator::SetChunking(std::vector<size_t> splitPoints)
{
    std::lock_guard lock(d->mutex);
    d->chunkPoints = std::move(splitPoints);
}

void TModemSimulator::SetRandomChunking(bool on, unsigned seed)
{
    std::lock_guard lock(d->mutex);
    d->randomChunks = on;
    d->random.seed(seed);
}

void TModemSimulator::SetReplyDelay(int ms)
{
    std::lock_guard lock(d->mutex);
    d->replyDelayMs = std::max(ms, 0);
}

void TModemSimulator::SetUSSDDelay(int ms)
{
    std::lock_guard lock(d->mutex);
    d->handset->SetUSSDDelay(std::max(ms, 0));
}

void TModemSimulator::SetSilent(bool on)
{
    std::lock_guard lock(d->mutex);
    d->handset->SetSilent(on);
}

void TModemSimulator::FailNextCommand(const std::string &finalLine)
{
    FailCommand("", finalLine);
}

void TModemSimulator::FailCommand(const std::string &prefix, const std::string &finalLine, int times)
{
    std::lock_guard lock(d->mutex);
    d->handset->FailCommand(prefix, finalLine, times);
}

void TModemSimulator::DelayAnswer(const std::string &prefix, int delayMs)
{
    std::lock_guard lock(d->mutex);
    d->handset->DelayAnswer(prefix, delayMs);
}

void TModemSimulator::SendRaw(const std::string &bytes)
{
    {
        std::lock_guard lock(d->mutex);
        d->Send(bytes, {bytes}, false);
    }
    d->wake();
}

void TModemSimulator::SendUnsolicited(const std::string &line)
{
    {
        std::lock_guard lock(d->mutex);
        d->handset->SendUnsolicited(line);
    }
    d->wake();
}

void TModemSimulator::HangUp()
{
    std::unique_lock lock(d->mutex);
    d->hangUpRequested = true;
    d->wake();
    d->changed.wait(lock, [&] { return d->hungUp; });
}

void TModemSimulator::Restart(int silentMs, const std::string &banner)
{
    {
        std::lock_guard lock(d->mutex);
        d->handset->BeginRestart();
        d->pendingOutput.clear(); // an answer not yet on the line dies with the handset
        d->restarting = true;
        const uint64_t restart = ++d->restarts;
        d->Schedule(std::max(silentMs, 0), [impl = d.get(), restart, banner] {
            if (impl->restarts != restart)
                return; // a later restart is still in progress
            impl->restarting = false;
            impl->handset->EndRestart();
            if (!banner.empty())
                impl->Send(banner, {banner}, false);
            impl->changed.notify_all();
        });
    }
    d->wake();
}

bool TModemSimulator::Restarting() const
{
    std::lock_guard lock(d->mutex);
    return d->restarting;
}

void TModemSimulator::SetByteAtATime(int gapMs)
{
    std::lock_guard lock(d->mutex);
    d->byteGapMs = std::max(gapMs, 0);
}

bool TModemSimulator::HungUp() const
{
    std::lock_guard lock(d->mutex);
    return d->hungUp;
}

void TModemSimulator::SetRegistration(int status)
{
    {
        std::lock_guard lock(d->mutex);
        d->handset->SetRegistration(status);
    }
    d->wake();
}

void TModemSimulator::SetSignal(int rssi)
{
    {
        std::lock_guard lock(d->mutex);
        d->handset->SetSignal(rssi);
    }
    d->wake();
}

bool TModemSimulator::SwitchedOff() const
{
    std::lock_guard lock(d->mutex);
    return d->handset->SwitchedOff();
}

std::string TModemSimulator::SimState() const
{
    std::lock_guard lock(d->mutex);
    switch (d->handset->SimState()) {
    case TSimState::Ready:
        return "READY";
    case TSimState::Pin:
        return "SIM PIN";
    case TSimState::Puk:
        return "SIM PUK";
    default:
        return "SIM FAILURE";
    }
}

std::string TModemSimulator::OwnNumber() const
{
    return d->options.ownNumber;
}

namespace {

std::string octetsOf(const std::string &hex)
{
    try {
        if (hex.size() % 2 == 0)
            return HexToStr(hex);
    } catch (const std::exception &) {
    }
    throw std::invalid_argument("not hexadecimal octets: " + hex);
}

template <typename T>
T decoded(const std::string &octets, const char *what)
{
    T message;
    if constexpr (std::is_base_of_v<TSMS2, T>)
        message.GSM = SimBareContext();
    try {
        message.Decode(octets);
    } catch (const std::exception &e) {
        throw std::invalid_argument(std::string(what) + ": " + e.what());
    }
    return message;
}

} // namespace

void TModemSimulator::DeliverPdu(const std::string &tpduHex)
{
    std::string tpdu = octetsOf(tpduHex);
    decoded<TSMSDeliver>(tpdu, "SMS-DELIVER");
    d->withHandset([&](TSimHandset &h) { h.Arrive({TSimArrival::Deliver, tpdu, d->options.sca}); });
}

void TModemSimulator::DeliverPdus(const std::vector<std::string> &tpdusHex)
{
    std::vector<std::string> tpdus;
    for (const std::string &hex : tpdusHex) {
        tpdus.push_back(octetsOf(hex));
        decoded<TSMSDeliver>(tpdus.back(), "SMS-DELIVER");
    }
    // Under one hold of the lock: the output is written only once it is released.
    d->withHandset([&](TSimHandset &h) {
        for (const std::string &tpdu : tpdus)
            h.Arrive({TSimArrival::Deliver, tpdu, d->options.sca});
    });
}

void TModemSimulator::DeliverText(const std::string &from, const std::string &text)
{
    TSMSDeliver deliver;
    deliver.GSM = SimBareContext();
    deliver.FirstOctet = 0x04; // no more messages
    deliver.OA = from;
    deliver.SCTS = NowUTC();
    deliver.UserData = TextToGSM(text);
    if (deliver.UserData.size() > 160)
        throw std::invalid_argument("text longer than one message");
    std::string tpdu = deliver.Encode();
    d->withHandset([&](TSimHandset &h) { h.Arrive({TSimArrival::Deliver, tpdu, d->options.sca}); });
}

void TModemSimulator::DeliverStatusReport(const std::string &tpduHex)
{
    std::string tpdu = octetsOf(tpduHex);
    decoded<TSMSStatusReport>(tpdu, "SMS-STATUS-REPORT");
    d->withHandset([&](TSimHandset &h) { h.Arrive({TSimArrival::StatusReport, tpdu, d->options.sca}); });
}

void TModemSimulator::BroadcastPdu(const std::string &pageHex)
{
    std::string page = octetsOf(pageHex);
    decoded<TCellBroadcast>(page, "cell broadcast page");
    d->withHandset([&](TSimHandset &h) { h.Broadcast(page); });
}

void TModemSimulator::BroadcastText(int messageId, const std::string &text)
{
    TCellBroadcast page;
    page.MessageId = static_cast<uint16_t>(messageId);
    page.DCS = 0x0F; // default alphabet, language unspecified (TS 23.038 5)
    page.PageParameter = 0x11;
    page.Content = TextToGSM(text);
    if (page.Content.size() > 93)
        throw std::invalid_argument("text longer than one page");
    std::string octets = page.Encode();
    d->withHandset([&](TSimHandset &h) { h.Broadcast(octets); });
}

int TModemSimulator::StoreMessage(const std::string &storage, int status, const std::string &tpduHex)
{
    std::string tpdu = octetsOf(tpduHex);
    if (!CreateSMSFromBytes(SimBareContext(), tpdu, status <= 1))
        throw std::invalid_argument("not a short message: " + tpduHex);
    return d->withHandset([&](TSimHandset &h) { return h.Store(storage, status, tpdu); });
}

std::vector<TSimStoredMessage> TModemSimulator::StoredMessages() const
{
    std::lock_guard lock(d->mutex);
    return d->handset->Stored();
}

std::vector<TSimSentMessage> TModemSimulator::SentMessages() const
{
    std::lock_guard lock(d->mutex);
    return d->sent;
}

bool TModemSimulator::WaitForSentMessages(size_t count, int timeoutMs)
{
    std::unique_lock lock(d->mutex);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return d->sent.size() >= count; });
}

int TModemSimulator::PendingAcknowledgements() const
{
    std::lock_guard lock(d->mutex);
    return d->handset->PendingAcknowledgements();
}

void TModemSimulator::Join(TModemSimulator &other)
{
    if (&other == this)
        return;
    std::shared_ptr<TSimNetwork> mine, theirs;
    {
        std::lock_guard lock(d->mutex);
        mine = d->network;
    }
    {
        std::lock_guard lock(other.d->mutex);
        theirs = other.d->network;
    }
    mine->Absorb(*theirs);
}

} // namespace kestrel
