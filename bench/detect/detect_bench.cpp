// Whole-process measurement of modem detection over eight pseudo-terminals: four simulated modems
// of different types (M20, Nokia 6210, WaveCom, Generic), two silent devices, one that answers
// garbage and one locked by a live process, probed at once as "kestrel detect" does.
//   wall_s     time of one detection of all eight, per round, and the largest
//   correct    every modem with its type, the silent and the garbage one reported, the locked one
//              reported with its process and not sent a byte
//   detect_bench [rounds]   (default 5)
#include "detect/modemdetect.h"

#include "base/format.h"
#include "comm/comm.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/nonmodemdevice.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const auto lockDir =
        std::filesystem::temp_directory_path() / ("kestrel-detect-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(lockDir);
    SetLockDirectory(lockDir.string());

    std::vector<std::unique_ptr<TModemSimulator>> sims;
    auto sim = [&](const char *equipment, bool silent) {
        TModemSimulatorOptions o;
        o.equipment = equipment;
        sims.push_back(std::make_unique<TModemSimulator>(o));
        sims.back()->SetSilent(silent);
        return sims.back()->DevicePath();
    };
    const char *modems[] = {"M20", "Nokia6210", "WaveCom", "Generic"};
    std::vector<TSerialDevice> devices;
    for (const char *m : modems)
        devices.push_back({sim(m, false), {}});
    devices.push_back({sim("M20", true), {}});
    devices.push_back({sim("Generic", true), {}});
    TNonModemDevice garbage(TNonModemDevice::Garbage);
    devices.push_back({garbage.DevicePath(), {}});
    TModemSimulator &lockedSim = *sims.emplace_back(std::make_unique<TModemSimulator>());
    devices.push_back({lockedSim.DevicePath(), {}});
    // The lock's owner: a child process that waits to be ended.
    const pid_t owner = fork();
    if (owner == 0) {
        pause();
        _exit(0);
    }
    std::ofstream(LockFileName(lockedSim.DevicePath())) << Format("%10d\n", static_cast<int>(owner));

    bool correct = true;
    double worst = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const auto results = DetectModems(devices);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        worst = std::max(worst, wall);
        std::printf("round %d wall_s: %.3f\n", round + 1, wall);
        for (size_t i = 0; i < std::size(modems); ++i)
            correct = correct && results[i].IsModem() && results[i].equipment == StrToEquipment(modems[i]);
        correct = correct && results[4].error.rfind("no answer", 0) == 0 &&
                  results[5].error.rfind("no answer", 0) == 0;
        correct = correct && results[6].error.find("no result code") != std::string::npos;
        correct = correct && results[7].lockedBy == owner && lockedSim.Transcript().empty();
        if (round == 0)
            for (const auto &r : results)
                std::printf("  %s: %s\n", r.device.c_str(),
                            r.IsModem() ? GSMEquipmentNames[r.equipment.value_or(eqGeneric)]
                                        : r.error.c_str());
    }
    std::printf("devices: %zu\nrounds: %d\nwall_s_max: %.3f\ncorrect: %s\n", devices.size(), rounds, worst,
                correct ? "yes" : "no");
    kill(owner, SIGTERM);
    waitpid(owner, nullptr, 0);
    std::filesystem::remove_all(lockDir);
    return correct ? 0 : 1;
}
