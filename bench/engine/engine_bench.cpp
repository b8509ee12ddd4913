// Whole-process measurement of the GSM engine against the virtual handset on a pseudo-terminal:
//   command_overhead_ms  mean time of a plain "AT" command minus the 150 ms pause that follows
//                        every attempt (the cost of writing, echo, parsing, waking the waiter)
//   idle_cpu_percent     CPU time of the process while the open engine sits idle, with the event
//                        loop running (the handset simulator's own thread included)
//   engine_bench [commands] [idle seconds]   (defaults 50 and 5)
#include "comm/comm.h"
#include "gsm/gsm.h"
#include "modemsim/modemsimulator.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>

using namespace kestrel;

static double CpuSeconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int commands = argc > 1 ? std::atoi(argv[1]) : 50;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    SetLockDirectory(std::filesystem::temp_directory_path().string());

    TModemSimulatorOptions options;
    options.equipment = "M20";
    TModemSimulator sim(options);
    TComm comm;
    comm.SetDeviceName(sim.DevicePath());
    TGSM gsm;
    gsm.SetCOMDevice(&comm);
    gsm.SetEquipment(eqM20);
    try {
        gsm.Open();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < commands; ++i)
            gsm.CheckResult(gsm.ExecCommand("AT", 0x01));
        const double total =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("commands: %d\nmean_command_ms: %.2f\ncommand_overhead_ms: %.2f\n", commands,
                    total / commands, total / commands - 150.0);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    const double before = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    QTimer::singleShot(idleSeconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double used = CpuSeconds() - before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("idle_seconds: %.1f\ncpu_seconds: %.4f\nidle_cpu_percent: %.3f\n", wall, used,
                100.0 * used / wall);
    gsm.Close();
    return 0;
}
