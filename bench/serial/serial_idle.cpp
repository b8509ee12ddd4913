// Opens a serial port on a pseudo-terminal, leaves it idle for a while and reports the CPU time
// the process used in that time: an idle port must cost (next to) nothing.
//   serial_idle [seconds]   (default 5)
#include "comm/comm.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pty.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

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
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    int master, slave;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    SetLockDirectory(std::filesystem::temp_directory_path().string());
    TComm comm;
    comm.SetDeviceName(name);
    comm.SetDontSynchronize(true);
    comm.OnRxChar = [&](TObject *, int count) { comm.ReadString(count); };
    comm.Open();
    const double before = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = CpuSeconds() - before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    comm.Close();
    close(master);
    close(slave);
    std::printf("idle_seconds: %.1f\ncpu_seconds: %.4f\nidle_cpu_percent: %.3f\n", wall, used,
                100.0 * used / wall);
    return 0;
}
