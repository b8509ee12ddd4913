// kestrel-modemsim as a separate process: the device paths on its output, the control lines on
// its input, and a clean end.
#include "ptyclient.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using kestrel::test::TPtyClient;

namespace {

class TProgram {
public:
    explicit TProgram(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), KESTREL_MODEMSIM_PROGRAM);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~TProgram()
    {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_in);
        close(m_out);
    }
    // The next output line, without its LF; empty after timeoutMs.
    std::string Line(int timeoutMs = 5000)
    {
        for (;;) {
            size_t eol = m_buffer.find('\n');
            if (eol != std::string::npos) {
                std::string line = m_buffer.substr(0, eol);
                m_buffer.erase(0, eol + 1);
                return line;
            }
            pollfd p{m_out, POLLIN, 0};
            char buf[512];
            ssize_t n = poll(&p, 1, timeoutMs) > 0 ? read(m_out, buf, sizeof buf) : 0;
            if (n <= 0)
                return {};
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }
    void Send(const std::string &line)
    {
        std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = write(m_in, text.data(), text.size());
    }
    // SIGTERM, then the exit status.
    int Terminate()
    {
        kill(m_pid, SIGTERM);
        return Wait();
    }
    int Wait()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool Started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    bool m_reaped = false;
    std::string m_buffer;
};

} // namespace

TEST(ModemSimulatorProgram, TwoJoinedHandsetsUnderControl)
{
    TProgram sim({"--equipment", "TC35", "--peer", "+491710000002"});
    ASSERT_TRUE(sim.Started());
    std::string first = sim.Line(), second = sim.Line();
    ASSERT_EQ(first.rfind("/dev/", 0), 0u) << first;
    ASSERT_EQ(second.rfind("/dev/", 0), 0u) << second;
    TPtyClient a(first), b(second);
    a.Command("ATE0");
    b.Command("ATE0");
    b.Command("AT+CNMI=2,2,0,0,0");
    b.Command("AT+CMGF=1");
    a.Command("AT+CMGF=1");
    EXPECT_EQ(a.Command("AT+CMGS=\"+491710000002\""), "\r\n> ");
    a.Write("over there\x1a");
    EXPECT_EQ(a.ReadAnswer(), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    std::string got = b.ReadUntil("over there\r\n");
    EXPECT_EQ(got.rfind("\r\n+CMT: \"+491710000001\",,\"", 0), 0u) << got;

    sim.Send("sent");
    std::string line = sim.Line();
    EXPECT_EQ(line.rfind("sent 0 +491710000002 ", 0), 0u) << line;
    EXPECT_EQ(sim.Line(), "OK");
    sim.Send("bogus");
    EXPECT_EQ(sim.Line(), "ERROR: unknown command: bogus");
    a.Command("AT+CNMI=2,1,0,0,0");
    sim.Send("deliver +4930 hi");
    EXPECT_EQ(sim.Line(), "OK");
    EXPECT_EQ(a.ReadUntil("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    sim.Send("quit");
    EXPECT_EQ(sim.Line(), "OK");
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(ModemSimulatorProgram, UsageErrorAndSignal)
{
    {
        TProgram bad({"--equipment", "X9"});
        EXPECT_EQ(bad.Wait(), 2);
    }
    TProgram sim({});
    std::string path = sim.Line();
    ASSERT_FALSE(path.empty());
    {
        TPtyClient c(path);
        EXPECT_EQ(c.Command("AT"), "AT\r\r\nOK\r\n");
    }
    // SIGTERM ends it cleanly, its input still open.
    EXPECT_EQ(sim.Terminate(), 0);
    TProgram help({"--help"});
    EXPECT_EQ(help.Line().rfind("Usage: kestrel-modemsim", 0), 0u);
    EXPECT_EQ(help.Wait(), 0);
}
