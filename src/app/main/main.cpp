// gsm-kestrel: the window. Arguments besides the toolkit's own:
//   -I:PATH or /I:PATH   settings file instead of gsm.ini next to the program
//   -START or /START     log in at once
//   --device PATH        serial device for this run (saved like a change in the window)
//   --equipment NAME     equipment type for this run (saved the same way), e.g. the type
//                        "kestrel detect" suggests
//   --simulate           run against a virtual handset on a pseudo-terminal; its device is used
//                        for this run only and never stays in the settings file. The handset
//                        holds a conversation to look at; the window logs in at once, catches
//                        what arrives and shows the Messages tab; messages go to their own
//                        store (messages-simulated.sqlite beside the usual one).
//   --screenshots DIR    with --simulate: log in, show each tab with something in it, save one PNG
//                        per tab into DIR and quit (scripts/screenshots runs it under Xvfb)
// SIGTERM and SIGINT close the window like its close button: settings saved, engine closed.
#include "app/gsmkestrelform.h"
#include "app/screenshottour.h"
#include "app/welcomemessages.h"
#include "appcore/datamodule.h"
#include "gsm/gsmequipment.h"
#include "modemsim/modemsimulator.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = write(g_signalPipe[1], &c, 1);
}

// Signals only write a byte; the event loop reads it and closes the window normally.
void installQuitSignals(QMainWindow &window)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char c;
        [[maybe_unused]] auto n = read(g_signalPipe[0], &c, 1);
        window.close();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("GSM Kestrel");

    std::vector<std::string> args;
    for (const QString &a : QApplication::arguments())
        args.push_back(a.toStdString());
    bool simulate = false;
    std::string device;
    std::string equipment;
    QString screenshots;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--simulate")
            simulate = true;
        else if (args[i] == "--device" && i + 1 < args.size())
            device = args[++i];
        else if (args[i] == "--equipment" && i + 1 < args.size()) {
            equipment = args[++i];
            try {
                StrToEquipment(equipment);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "gsm-kestrel: %s: %s\n", e.what(), equipment.c_str());
                return 2;
            }
        } else if (args[i] == "--screenshots" && i + 1 < args.size()) {
            screenshots = QString::fromStdString(args[++i]);
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::printf("usage: gsm-kestrel [-I:SETTINGS] [-START] [--device PATH | --simulate "
                        "[--screenshots DIR]] [--equipment NAME]\n");
            return 0;
        }
    }
    if (!screenshots.isEmpty() && !simulate) {
        std::fprintf(stderr, "gsm-kestrel: --screenshots needs --simulate\n");
        return 2;
    }

    // The simulated handset must outlive the data module, whose engine talks to it until the end.
    std::unique_ptr<TModemSimulator> simulator;
    std::unique_ptr<TGSMDataModule> dataModule;
    std::string configuredDevice;
    std::string configuredStore;
    TGSMUnsolicitedIndicationSet configuredIndications = 0;
    QStringList formArguments = QApplication::arguments();
    try {
        const TAppLocations locations = ResolveAppLocations(args, ProgramDirectory());
        if (!locations.Notice.empty())
            std::fprintf(stderr, "gsm-kestrel: %s\n", locations.Notice.c_str());
        dataModule = std::make_unique<TGSMDataModule>(locations);
        if (!device.empty())
            dataModule->Comm1.SetDeviceName(device);
        if (!equipment.empty()) {
            dataModule->GSM.SetEquipment(StrToEquipment(equipment));
            dataModule->GSM.AdjustCommSettings();
        }
        if (simulate) {
            TModemSimulatorOptions options;
            options.equipment = GSMEquipmentNames[dataModule->GSM.Equipment()];
            options.pin = dataModule->GSM.PIN();
            simulator = std::make_unique<TModemSimulator>(options);
            configuredDevice = dataModule->Comm1.DeviceName();
            dataModule->Comm1.SetDeviceName(simulator->DevicePath());
            StoreWelcomeMessages(*simulator, simulator->OwnNumber());
            // What arrives is caught (routed, with status reports) unless the settings say how.
            configuredIndications = dataModule->GSM.UnsolicitedIndication();
            if (configuredIndications == 0)
                dataModule->GSM.SetUnsolicitedIndication(Bit(uindSMSDeliver) | Bit(uindSMSStatusReport));
            // The virtual handset's messages stay out of the store of real ones.
            configuredStore = dataModule->StoreName;
            if (configuredStore == locations.LogDirectory + "messages.sqlite")
                dataModule->StoreName = locations.LogDirectory + "messages-simulated.sqlite";
            bool start = false;
            for (const QString &a : formArguments)
                start |= a.size() > 1 && (a[0] == '-' || a[0] == '/') &&
                         a.mid(1).compare("START", Qt::CaseInsensitive) == 0;
            // The screenshot tour logs in by itself.
            if (!start && screenshots.isEmpty())
                formArguments << "-START";
            std::fprintf(stderr, "gsm-kestrel: virtual %s handset on %s, own number %s\n",
                         options.equipment.c_str(), simulator->DevicePath().c_str(),
                         simulator->OwnNumber().c_str());
        }
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, "GSM Kestrel", QString::fromStdString(e.what()));
        return 1;
    }

    int rc = 0;
    {
        TGSMKestrelForm form(*dataModule, formArguments);
        if (simulator)
            form.ExtraDetectDevices.push_back(
                simulator->DevicePath()); // Detect finds the virtual handset too
        installQuitSignals(form);
        std::unique_ptr<TScreenshotTour> tour;
        if (!screenshots.isEmpty())
            tour = std::make_unique<TScreenshotTour>(form, screenshots, simulator->OwnNumber());
        form.show();
        if (tour)
            tour->Start();
        else if (simulator)
            form.ShowMessagesTab();
        rc = QApplication::exec();
        try {
            dataModule->GSM.Close();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "gsm-kestrel: %s\n", e.what());
        }
        dataModule->Comm1.Close();
    }
    // The virtual handset's device is gone after this run: keep the configured one.
    if (simulator && dataModule->Comm1.DeviceName() == simulator->DevicePath())
        dataModule->Comm1.SetDeviceName(configuredDevice);
    if (simulator) {
        dataModule->StoreName = configuredStore;
        if (configuredIndications == 0)
            dataModule->GSM.SetUnsolicitedIndication(0);
    }
    dataModule.reset(); // saves the settings
    return rc;
}
