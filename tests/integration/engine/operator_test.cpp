// The network of the virtual handset as the engine asks it: names and codes of current modules
// and of the old handsets, a modem that gives only the code (named from the providers list), a
// name under the UCS2 character set, no network, and a handset that refuses the format choice.
#include "enginerig.h"

#include "gsm/operators.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QString InstalledName(const QString &code)
{
    QFile f(kServiceProvidersFile);
    return f.open(QIODevice::ReadOnly) ? ParseNetworkNames(f.readAll()).value(code) : QString();
}

TEST(EngineOperator, AskedInBothForms)
{
    struct {
        const char *name;
        TModemSimulatorOptions options;
        const char *charset; // nullptr: as the handset starts
        QString expectedName;
        std::string numeric;
        QString technology;
    } cases[] = {
        {"current module", Handset("Generic"), nullptr, "Kestrel Net", "26299", "LTE"},
        {"old handset", Handset("M20"), nullptr, "Kestrel Net", "26299", ""},
        {"UCS2 names", Handset("Generic"), "UCS2", "Kestrel Net", "26299", "LTE"},
        {"only the code", Handset("TC35"), nullptr, InstalledName("26201"), "26201", ""},
        {"no network", Handset("Generic"), nullptr, "", "", ""},
    };
    cases[3].options.operatorNumeric = "26201";
    cases[3].options.numericOperatorOnly = true;
    cases[4].options.registration = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        TEngineRig rig(c.options);
        rig.gsm.Open();
        if (c.charset)
            rig.gsm.CheckResult(
                rig.gsm.ExecCommand(std::string("AT+CSCS=\"") + c.charset + "\"", kWaitResult));
        const TNetworkOperator op = rig.gsm.QueryOperator();
        EXPECT_EQ(op.Name, c.expectedName);
        EXPECT_EQ(op.Numeric, c.numeric);
        EXPECT_EQ(op.Technology(), c.technology);
        EXPECT_EQ(op.Registered(), !c.numeric.empty());
    }
    EXPECT_FALSE(InstalledName("26201").isEmpty()) << "mobile-broadband-provider-info names 26201";
}

TEST(EngineOperator, HandsetWithoutFormatChoice)
{
    TEngineRig rig(Handset("M20"));
    rig.gsm.Open();
    rig.sim.FailNextCommand("ERROR"); // AT+COPS=3,2
    const TNetworkOperator op = rig.gsm.QueryOperator();
    EXPECT_EQ(op.Name, "Kestrel Net");
    EXPECT_EQ(op.Numeric, "");
    const auto commands = rig.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+COPS=3,0"), 0);
}

} // namespace
