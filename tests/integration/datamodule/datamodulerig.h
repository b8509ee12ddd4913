// What the data-module tests against the virtual handset share: a scratch directory per test for
// gsm.ini, the log files and the lock files, a data module configured from it, a recording view.
#pragma once

#include "appcore/datamodule.h"
#include "comm/comm.h"
#include "modemsim/modemsimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestrel::rig {

class TRecordingSink : public TLineSink {
public:
    std::vector<std::string> lines;
    void AddLine(const std::string &S) override { lines.push_back(S); }
    void AddText(const std::string &) override {}
};

inline std::string ReadFile(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TDataModuleRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("kestrel-dm-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        SetLockDirectory(dir.string());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A data module reading dir/gsm.ini, logging to dir, on the simulator's device when given;
    // short time-outs, the SMS log view recorded.
    std::unique_ptr<TGSMDataModule> Module(TModemSimulator *sim)
    {
        auto dm = std::make_unique<TGSMDataModule>((dir / "gsm.ini").string(), dir.string() + "/");
        if (sim)
            dm->Comm1.SetDeviceName(sim->DevicePath());
        dm->GSM.SetRecTimeout(2000);
        dm->GSM.SetRepeatTimeout(100);
        dm->SMSLogView = &view;
        return dm;
    }

    template <typename Pred>
    bool WaitUntil(Pred pred, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (!pred() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return pred();
    }

    std::filesystem::path dir;
    TRecordingSink view;
};

} // namespace kestrel::rig
