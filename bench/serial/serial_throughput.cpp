// Moves 1 MiB through TComm (Write to the master side, then back through OnRxChar/ReadString)
// and the same through plain write/read on the same kind of pseudo-terminal pair, and prints the
// ratio of the two rates; the plain side runs with the line settings TComm applies. Argument:
// the number of rounds (default 100).
#include "comm/comm.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace {

constexpr size_t kTotal = 1 << 20;

// The line settings TComm gave the pair, for the plain side: both sides then run the same line
// discipline. With every event monitored TComm marks line errors (PARMRK), which makes the driver
// handle each received byte on its own; plain reads of a raw line would measure that, not us.
termios g_commSettings{};
bool g_haveCommSettings = false;

// Drains the master side until `want` bytes arrived; returns them.
size_t DrainMaster(int master, size_t want)
{
    size_t got = 0;
    char buf[65536];
    while (got < want) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

// Feeds the master side with `want` bytes in chunks.
void FeedMaster(int master, size_t want)
{
    std::string chunk(4096, 'r');
    size_t sent = 0;
    while (sent < want) {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 5000);
        ssize_t n = write(master, chunk.data(), std::min(chunk.size(), want - sent));
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
}

double OursSeconds(const char *name, int master)
{
    TComm comm;
    comm.SetDeviceName(name);
    comm.SetDontSynchronize(true);
    std::mutex m;
    std::condition_variable done;
    size_t received = 0;
    comm.OnRxChar = [&](TObject *, int count) {
        size_t n = comm.ReadString(count).size();
        std::lock_guard lock(m);
        received += n;
        if (received >= kTotal)
            done.notify_all();
    };
    comm.Open();
    g_haveCommSettings = tcgetattr(comm.Handle(), &g_commSettings) == 0;
    const std::string block(4096, 'w');
    const auto start = std::chrono::steady_clock::now();
    std::thread drain([&] { DrainMaster(master, kTotal); });
    for (size_t sent = 0; sent < kTotal; sent += block.size())
        comm.Write(block.data(), static_cast<int>(block.size()));
    drain.join();
    std::thread feed([&] { FeedMaster(master, kTotal); });
    {
        std::unique_lock lock(m);
        done.wait(lock, [&] { return received >= kTotal; });
    }
    feed.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    comm.Close();
    return s;
}

double PlainSeconds(int master, int slave)
{
    if (g_haveCommSettings)
        tcsetattr(slave, TCSANOW, &g_commSettings);
    const std::string block(4096, 'w');
    const auto start = std::chrono::steady_clock::now();
    std::thread drain([&] { DrainMaster(master, kTotal); });
    for (size_t sent = 0; sent < kTotal;) {
        ssize_t n = write(slave, block.data(), block.size());
        if (n > 0)
            sent += static_cast<size_t>(n);
        else {
            pollfd p{slave, POLLOUT, 0};
            poll(&p, 1, 5000);
        }
    }
    drain.join();
    std::thread feed([&] { FeedMaster(master, kTotal); });
    size_t got = 0;
    char buf[65536];
    while (got < kTotal) {
        pollfd p{slave, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = read(slave, buf, sizeof buf);
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    feed.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SetLockDirectory(std::filesystem::temp_directory_path().string());
    int master, slave;
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Best of many alternating rounds each (a round takes some 30 ms), so that a busy machine,
    // whose other work takes the processors for whole time slices, penalises neither side.
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    double ours = 1e9, plain = 1e9;
    for (int i = 0; i < rounds; ++i) {
        ours = std::min(ours, OursSeconds(name, master));
        plain = std::min(plain, PlainSeconds(master, slave));
    }
    const double mb = 2.0 * kTotal / (1024.0 * 1024.0);
    std::printf("plain_mib_per_s: %.1f\nours_mib_per_s: %.1f\nthroughput_ratio: %.2f\n", mb / plain,
                mb / ours, plain / ours);
    close(master);
    close(slave);
    return 0;
}
