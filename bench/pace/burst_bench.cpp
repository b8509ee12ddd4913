// Whole-process measurement of a burst of arrivals: N messages reach the virtual handset at once
// (stored, each announced with +CMTI), and the data module, as the window, the monitor and the
// gateway run it, records every one in an SQLite store and deletes it from the handset:
//   recorded_per_s  messages recorded (and deleted) per second, from the arrival to the last delete
//   total_ms        the whole burst
//   reads, listings, deletes  the commands the handset was asked for
//   burst_bench [messages] [equipment] [pdu|text]   (defaults 50, TC35, pdu)
#include "simbench.h"

#include "appcore/datamodule.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

using namespace kestrel;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = bench::IntArg(argc, argv, 1, 50);
    const std::string equipment = bench::TextArg(argc, argv, 2, "TC35");
    const bool text = bench::TextArg(argc, argv, 3, "pdu") == "text";
    try {
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString() + "/";
        // Stored and indicated (+CMTI), in the format asked for.
        std::ofstream(folder + "gsm.ini")
            << "[Modem]\nDevice=" << equipment
            << "\nSCA=+491710760000\nUnsolicitedIndication=9\nSMSFormat=" << (text ? 1 : 0) << "\n";
        TModemSimulator sim(bench::SimOptions(equipment, std::max(messages, 25)));
        TGSMDataModule dm(folder + "gsm.ini", folder);
        dm.Comm1.SetDeviceName(sim.DevicePath());
        dm.StoreName = folder + "messages.sqlite";
        int logged = 0;
        dm.OnSMSLogLine = [&](const std::string &line) { logged += !line.empty() && line[0] == '>'; };
        std::string error;
        dm.OnError = [&](const std::string &m) { error = m; };
        dm.GSM.Open();
        if (!dm.Store())
            throw std::runtime_error("no store: " + error);
        std::vector<std::string> tpdus;
        for (int i = 0; i < messages; ++i)
            tpdus.push_back(bench::DeliverTPDU("Burst message number " + std::to_string(i),
                                               "+4917100" + std::to_string(10000 + i)));
        sim.ClearTranscript();

        const auto start = std::chrono::steady_clock::now();
        sim.DeliverPdus(tpdus);
        while (logged < messages || !sim.StoredMessages().empty()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            if (!error.empty())
                throw std::runtime_error(error);
            if (std::chrono::steady_clock::now() - start > std::chrono::minutes(5))
                throw std::runtime_error("not recorded within five minutes: " + std::to_string(logged));
        }
        const double total =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const size_t recorded = dm.Store()->List({}).size();
        if (recorded != static_cast<size_t>(messages))
            throw std::runtime_error("the store has " + std::to_string(recorded) + " messages");
        const auto commands = sim.ReceivedCommands();
        auto count = [&](const char *prefix) {
            return std::count_if(commands.begin(), commands.end(),
                                 [&](const std::string &c) { return c.rfind(prefix, 0) == 0; });
        };
        std::printf("messages: %d\nequipment: %s\nformat: %s\ncommand_pause_ms: %d\nread_pause_ms: %d\n"
                    "total_ms: %.1f\nrecorded_per_s: %.2f\nreads: %ld\nlistings: %ld\ndeletes: %ld\n",
                    messages, equipment.c_str(), text ? "text" : "pdu", dm.GSM.Behaviour().commandPauseMs,
                    dm.GSM.Behaviour().readPauseMs, total, messages * 1000.0 / total,
                    static_cast<long>(count("AT+CMGR")), static_cast<long>(count("AT+CMGL")),
                    static_cast<long>(count("AT+CMGD")));
        dm.GSM.Close();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
