// Whole-process measurement of sending through the GSM engine to the virtual handset on a
// pseudo-terminal, in PDU mode:
//   mean_send_ms        mean time of one SendSMS of a single-segment message
//   pauses_ms           the pauses the engine makes by design per message: the equipment's pause
//                       after the command attempt (150 ms on the old handsets) plus its send pause
//   line_ms             the bytes of one send (command, data, echoes, answers) at the port's speed
//   send_overhead_ms    mean_send_ms - pauses_ms - line_ms
//   unpaced_overhead_ms mean_send_ms - pauses_ms: a pseudo-terminal does not pace bytes at the
//                       configured speed, so this is the engine's cost with no line time at all
//   messaging_bench [messages] [equipment]   (defaults 20 and M20)
#include "simbench.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

using namespace kestrel;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = bench::IntArg(argc, argv, 1, 20);
    const std::string equipment = bench::TextArg(argc, argv, 2, "M20");
    try {
        bench::TSimEngine rig(equipment);
        TGSM &gsm = rig.gsm;
        gsm.Open();
        TSMSSubmit sms;
        sms.GSM = &gsm;
        sms.DA = "+491710000002";
        sms.UserData = TextToGSM("A single-segment message for the benchmark");
        const std::string pdu = sms.GetPDU();
        const std::string command = "AT+CMGS=" + std::to_string(gsm.GetTPDULength(sms));
        // Written: command CR, data Ctrl-Z; received: their echoes, the prompt, the answer and OK.
        const size_t written = command.size() + 1 + pdu.size() + 1;
        const size_t received = written + 4 + std::string("\r\n+CMGS: 255\r\n\r\nOK\r\n").size();
        const double lineMs = static_cast<double>(written + received) * 10.0 * 1000.0 /
                              static_cast<double>(kBaudrateValues[rig.comm.Baudrate()]);
        const double pausesMs = gsm.Behaviour().commandPauseMs + gsm.Behaviour().sendPauseMs;

        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < messages; ++i)
            gsm.SendSMS(sms);
        const double total =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const double mean = total / messages;
        std::printf("messages: %d\nequipment: %s\nbaud: %d\nmean_send_ms: %.2f\npauses_ms: %.0f\n"
                    "line_ms: %.2f\nsend_overhead_ms: %.2f\nunpaced_overhead_ms: %.2f\n",
                    messages, equipment.c_str(), kBaudrateValues[rig.comm.Baudrate()], mean, pausesMs, lineMs,
                    mean - pausesMs - lineMs, mean - pausesMs);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
