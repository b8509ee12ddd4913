// Soak run: two virtual handsets on one network, an engine on each over its own pseudo-terminal,
// exchanging messages of every kind the composer makes (7-bit, UCS2 and long concatenated texts,
// picture messages, operator logos, CLI icons, ringing tones, vCards, EMS pictures, animations
// and melodies). The handsets route each delivery straight to their host (+CMT); the receiving
// side reassembles the segments with its protocol stack and recognises the payload.
//
// What each message should look like on arrival is worked out on the sending side with the
// network's own SUBMIT-to-DELIVER rule and a second protocol stack; a message counts as lost
// when nothing with its payload and kind arrived. At the end it prints
//   messages, segments, lost, unexpected, wall_s, messages_per_s,
//   peak_rss_kib (the process's peak resident set), and idle_cpu_percent (CPU of the whole
//   process, both engines still open, over some seconds without traffic).
//
//   soak [--messages N] [--idle-seconds S]      (defaults 1000 and 5)
#include "base/format.h"
#include "comm/comm.h"
#include "connect/connection.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simnetwork.h"
#include "xsms/composer.h"
#include "xsms/ems.h"
#include "xsms/protocolstack.h"
#include "xsms/smartmessage.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace kestrel;

namespace {

using TClock = std::chrono::steady_clock;

QImage Pattern(int w, int h, int seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x * 3 + y + seed) % 5 == 0 ? 0xFF000000 : 0xFFFFFFFF);
    return image;
}

// The content of message number n: the kinds take turns, and each carries n somewhere it
// survives (text, name, melody title, picture pattern), so no two neighbours are alike.
TMessageContent ContentFor(int n)
{
    static const TMessageKind kinds[] = {
        TMessageKind::mkText,
        TMessageKind::mkUCS2Text,
        TMessageKind::mkText,
        TMessageKind::mkPicture,
        TMessageKind::mkOperatorLogo,
        TMessageKind::mkCLIIcon,
        TMessageKind::mkRingingTone,
        TMessageKind::mkvCard,
        TMessageKind::mkEMSPictureSmall,
        TMessageKind::mkEMSPictureLarge,
        TMessageKind::mkEMSPictureVariable,
        TMessageKind::mkEMSAnimationSmall,
        TMessageKind::mkEMSAnimationLarge,
        TMessageKind::mkEMSMelody,
        TMessageKind::mkUCS2Text,
    };
    const size_t turn = static_cast<size_t>(n) % (sizeof kinds / sizeof kinds[0]);
    TMessageContent c;
    c.Kind = kinds[turn];
    const QString number = QString::number(n);
    switch (turn) {
    case 0:
        c.Text = "Soak message " + number + ", short and plain.";
        break;
    case 1:
        c.Text = QString::fromUtf16(u"Сообщение ") + number + QString::fromUtf16(u" \u20AC");
        break;
    case 2: // a long 7-bit text: a concatenated message of three parts
        c.Text = "Long soak message " + number + ": " + QString(380, QChar('a' + n % 26));
        break;
    case 14: // a long UCS2 text: concatenated too
        c.Text = QString::fromUtf16(u"Длинное ") + number + " " + QString(120, QChar(0x0436));
        break;
    default:
        c.Text = "Soak " + number;
        break;
    }
    c.vCardName = "Novak " + number;
    c.vCardPhone = "+420602" + QString::number(100000 + n % 900000);
    c.Width = 72;
    c.Height = c.Kind == TMessageKind::mkPicture ? 28 : 14;
    if (c.Kind == TMessageKind::mkEMSPictureVariable) {
        c.Width = 40;
        c.Height = 12;
    }
    if (c.Kind == TMessageKind::mkEMSAnimationSmall)
        c.Width = c.Height = 8;
    if (c.Kind == TMessageKind::mkEMSAnimationLarge)
        c.Width = c.Height = 16;
    c.Picture = Pattern(72, 28, n); // the frames side by side; each kind takes what it needs
    c.Operator = 23001;
    c.Melody = {"Tune" + number, {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{2, 5, 3, 1, 12, 0, 9}}};
    return c;
}

// What a received message amounts to once whole: its kind and its payload. Nothing while a
// segmented payload is still incomplete.
std::optional<std::string> Arrival(TSMSProtocolStack &stack, const TSMS &sms)
{
    const auto *deliver = dynamic_cast<const TSMSDeliver *>(&sms);
    if (!deliver)
        return "other:" + std::string(sms.ClassName());
    TSMSProtocol *protocol = nullptr;
    if (!stack.AddSegment(&sms, protocol) || !protocol)
        return Format("text %.2x:", deliver->DCS) + StrToHex(deliver->UserData);
    if (protocol->State() != kStateComplete)
        return std::nullopt;
    std::unique_ptr<TSMSProtocol> whole = stack.RemoveProtocol(protocol);
    std::string kind = "data";
    try {
        if (auto *ported = dynamic_cast<TSMSProtocol2 *>(whole.get()); ported && ported->DestPort() != 0) {
            if (auto message = TSmartMessage::CreateFromPort(whole->Data(), ported->DestPort()))
                kind = message->ClassName();
        } else if (auto *udh = dynamic_cast<TUDHProtocol *>(whole.get())) {
            TEMS ems;
            ems.LoadFromUDH(*udh);
            for (const auto &item : ems.Items)
                kind += std::string(" ") + item->ClassName();
        }
    } catch (const std::exception &e) {
        kind = std::string("undecodable ") + e.what();
    }
    return kind + ":" + StrToHex(whole->Data());
}

// One handset with its engine, and what it expects to receive.
struct TSide {
    TModemSimulator sim;
    TComm comm;
    TGSM gsm;
    TSMSProtocolStack stack;
    TMessageComposer composer;
    std::multiset<std::string> expected; // arrivals announced by the other side, not yet seen
    long long received = 0;              // whole payloads that arrived
    long long unexpected = 0;            // arrivals nobody announced (corrupted ones among them)
    std::vector<std::string> samples;    // the first few of those

    explicit TSide(const std::string &number) : sim(Options(number))
    {
        comm.SetDeviceName(sim.DevicePath());
        gsm.SetCOMDevice(&comm);
        gsm.SetEquipment(eqNokia6210);
        gsm.SetSMSFormat(kSMSFormatPDU);
        gsm.SetUnsolicitedIndication(Bit(uindSMSDeliver)); // routed to the host, nothing stored
        gsm.OnUnsolicitedSMS = [this](TObject *, int index, TSMS *sms) {
            std::unique_ptr<TSMS> read;
            if (!sms && index >= 0) { // a handset that stored it after all
                int status = 0;
                read = gsm.ReadSMS(index, status);
                gsm.DeleteSMS(index);
                sms = read.get();
            }
            if (sms)
                Receive(*sms);
        };
        gsm.OnProcessingError = [](TObject *, const std::string &message) {
            std::fprintf(stderr, "processing error: %s\n", message.c_str());
        };
    }

    static TModemSimulatorOptions Options(const std::string &number)
    {
        TModemSimulatorOptions o;
        o.equipment = "Nokia6210";
        o.ownNumber = number;
        o.deliveryDelayMs = 5;
        return o;
    }

    void Receive(const TSMS &sms)
    {
        const auto arrival = Arrival(stack, sms);
        if (!arrival)
            return;
        ++received;
        auto it = expected.find(*arrival);
        if (it != expected.end())
            expected.erase(it);
        else if (++unexpected <= 5)
            samples.push_back(*arrival);
    }
};

// Sends message n from one side to the other; returns the segments sent.
size_t Send(TSide &from, TSide &to, int n, TSMSProtocolStack &foresight)
{
    auto messages = from.composer.Compose(to.sim.OwnNumber(), ContentFor(n), &from.gsm);
    // The arrival as the network will make it: each SUBMIT becomes the recipient's DELIVER.
    for (const auto &sms : messages) {
        sms->GSM = SimBareContext();
        const std::string submit = sms->Encode();
        sms->GSM = &from.gsm;
        const std::string deliver = SimDeliverFromSubmit(submit, from.sim.OwnNumber(), NowUTC());
        auto arriving = CreateSMSFromBytes(SimBareContext(), deliver, true);
        if (!arriving)
            throw std::runtime_error("the network would refuse message " + std::to_string(n));
        if (auto arrival = Arrival(foresight, *arriving))
            to.expected.insert(*arrival);
    }
    for (const auto &sms : messages) {
        from.gsm.SendSMS(*sms);
        // The other engine's lines wait for the main thread: let it handle them between sends.
        QCoreApplication::processEvents();
    }
    return messages.size();
}

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int Usage()
{
    std::fprintf(stderr, "usage: soak [--messages N] [--idle-seconds S]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int messages = 1000;
    int idleSeconds = 5;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--messages") == 0 && hasValue)
            messages = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--idle-seconds") == 0 && hasValue)
            idleSeconds = std::atoi(argv[++i]);
        else
            return Usage();
    }
    if (messages < 1 || idleSeconds < 1)
        return Usage();
    SetLockDirectory(std::filesystem::temp_directory_path().string());

    TSide a("+491710000001");
    TSide b("+491710000002");
    a.sim.Join(b.sim);
    TSMSProtocolStack foresightA, foresightB; // expected arrivals at a and at b
    size_t segments = 0;
    const auto start = TClock::now();
    try {
        a.gsm.Open();
        b.gsm.Open();
        for (int n = 0; n < messages; ++n) {
            if (n % 2 == 0)
                segments += Send(a, b, n, foresightB);
            else
                segments += Send(b, a, n, foresightA);
            if ((n + 1) % 100 == 0)
                std::fprintf(stderr, "%d messages sent\n", n + 1);
        }
        // The last deliveries are on their way: wait while they keep coming.
        auto pending = [&] { return a.expected.size() + b.expected.size(); };
        for (size_t before = pending() + 1; pending() > 0 && pending() < before;) {
            before = pending();
            RunEventLoop(2000);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "soak: %s\n", e.what());
        return 1;
    }
    const double wall = std::chrono::duration<double>(TClock::now() - start).count();

    const double cpuBefore = CpuSeconds();
    const auto idleStart = TClock::now();
    RunEventLoop(idleSeconds * 1000);
    const double idleWall = std::chrono::duration<double>(TClock::now() - idleStart).count();
    const double idleCpu = (CpuSeconds() - cpuBefore) / idleWall * 100.0;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const size_t lost = a.expected.size() + b.expected.size();
    const long long unexpected = a.unexpected + b.unexpected;
    for (const auto *side : {&a, &b})
        for (const auto &u : side->samples)
            std::fprintf(stderr, "unexpected: %.200s\n", u.c_str());
    std::printf("messages: %d\n", messages);
    std::printf("segments: %zu\n", segments);
    std::printf("received: %lld\n", a.received + b.received);
    std::printf("lost: %zu\n", lost);
    std::printf("unexpected: %lld\n", unexpected);
    std::printf("wall_s: %.1f\n", wall);
    std::printf("messages_per_s: %.2f\n", messages / wall);
    std::printf("peak_rss_kib: %ld\n", usage.ru_maxrss);
    std::printf("idle_cpu_percent: %.3f\n", idleCpu);
    a.gsm.Close();
    b.gsm.Close();
    return lost == 0 && unexpected == 0 ? 0 : 1;
}
