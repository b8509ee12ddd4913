#include "pgserver.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

// A port nobody listens on right now (the server may still lose a race for it; Start retries).
int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    if (port == 0)
        throw std::runtime_error(std::string("no free local port: ") + strerror(errno));
    return port;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string randomHex(size_t bytes)
{
    std::ifstream in("/dev/urandom", std::ios::binary);
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        const auto c = static_cast<unsigned char>(in.get());
        const char *digits = "0123456789abcdef";
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// argv as exec wants it; the strings stay owned by the vector.
std::vector<char *> argvOf(const std::vector<std::string> &args)
{
    std::vector<char *> out;
    for (const auto &a : args)
        out.push_back(const_cast<char *>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// In a child between fork and exec (only async-signal-safe calls): descriptors the program had
// open stay out of the server, and root becomes the unprivileged user.
void becomeServerUser(bool drop, uid_t uid, gid_t gid, int keep)
{
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keep)
            close(fd);
    if (drop && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
        _exit(126);
}

std::atomic<int> databaseCounter{0};

} // namespace

TPostgresServer::TPostgresServer(bool Durable) : m_durable(Durable)
{
    if (access((kBin + "initdb").c_str(), X_OK) != 0 || access((kBin + "pg_ctl").c_str(), X_OK) != 0)
        throw std::runtime_error("PostgreSQL 15 is not installed (" + kBin +
                                 "initdb, pg_ctl): scripts/deps installs postgresql-15");
    char folder[] = "/tmp/kestrel-pg-XXXXXX";
    if (!mkdtemp(folder))
        throw std::runtime_error(std::string("cannot create a scratch folder: ") + strerror(errno));
    m_folder = folder;
    if (geteuid() == 0) {
        // The server refuses to run as root.
        const passwd *pw = getpwnam("nobody");
        if (!pw)
            throw std::runtime_error("running as root, and there is no user \"nobody\" to run the server as");
        m_dropPrivileges = true;
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        if (chown(m_folder.c_str(), m_uid, m_gid) != 0)
            throw std::runtime_error(std::string("cannot hand the scratch folder to nobody: ") +
                                     strerror(errno));
    }
    m_password = randomHex(12);
    const std::string pwfile = m_folder + "/pw";
    {
        std::ofstream(pwfile) << m_password << "\n";
        if (m_dropPrivileges && chown(pwfile.c_str(), m_uid, m_gid) != 0)
            throw std::runtime_error("cannot hand the password file to nobody");
    }
    startWatchdog();
    run({kBin + "initdb", "-D", m_folder + "/data", "-U", m_user, "--pwfile=" + pwfile, "-E", "UTF8",
         "--locale=C.UTF-8", "--auth-local=trust", "--auth-host=scram-sha-256", "-N"},
        "initdb");
    std::filesystem::remove(pwfile);
    Start();
}

TPostgresServer::~TPostgresServer()
{
    try {
        if (m_running)
            Stop();
    } catch (const std::exception &) {
        // The watchdog's immediate stop below still ends it.
    }
    if (m_watchdog > 0) {
        // Closing the pipe lets the watchdog stop what is left and remove the folder.
        close(m_watchdogPipe);
        int status = 0;
        waitpid(m_watchdog, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

TPostgresServer &TPostgresServer::Shared()
{
    static TPostgresServer server;
    return server;
}

void TPostgresServer::run(const std::vector<std::string> &argv, const char *what) const
{
    const std::string log = m_folder + "/" + what + ".out";
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        throw std::runtime_error(std::string("cannot write ") + log);
    if (m_dropPrivileges && fchown(out, m_uid, m_gid) != 0) {
        close(out);
        throw std::runtime_error(std::string("cannot hand ") + log + " to nobody");
    }
    std::vector<char *> args = argvOf(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        becomeServerUser(m_dropPrivileges, m_uid, m_gid, -1);
        if (chdir(m_folder.c_str()) != 0)
            _exit(125);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string message = std::string(what) + " failed: " + readFile(log);
        const std::string serverLog = readFile(m_folder + "/server.log");
        if (!serverLog.empty())
            message +=
                "\nserver log:\n" + serverLog.substr(serverLog.size() > 4000 ? serverLog.size() - 4000 : 0);
        throw std::runtime_error(message);
    }
}

void TPostgresServer::startWatchdog()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create the watchdog pipe");
    // Everything the watchdog needs is prepared before the fork.
    const std::vector<std::string> stopArgs = {
        kBin + "pg_ctl", "-D", m_folder + "/data", "-m", "immediate", "-w", "stop"};
    const std::vector<std::string> rmArgs = {"/bin/rm", "-rf", m_folder};
    std::vector<char *> stopArgv = argvOf(stopArgs), rmArgv = argvOf(rmArgs);
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own session: a signal to the test's process group must not take it along.
        setsid();
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        becomeServerUser(false, 0, 0, fds[0]);
        char c;
        for (;;) {
            const ssize_t n = read(fds[0], &c, 1);
            if (n == 0 || (n < 0 && errno != EINTR))
                break;
        }
        // The test program has ended (or let go of the server): stop it and clear up.
        if (const pid_t stop = fork(); stop == 0) {
            becomeServerUser(m_dropPrivileges, m_uid, m_gid, -1);
            execv(stopArgv[0], stopArgv.data());
            _exit(127);
        } else if (stop > 0) {
            waitpid(stop, nullptr, 0);
        }
        if (const pid_t rm = fork(); rm == 0) {
            execv(rmArgv[0], rmArgv.data());
            _exit(127);
        } else if (rm > 0) {
            waitpid(rm, nullptr, 0);
        }
        _exit(0);
    }
    if (devnull >= 0)
        close(devnull);
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        throw std::runtime_error("cannot start the watchdog");
    }
    m_watchdog = pid;
    m_watchdogPipe = fds[1];
}

void TPostgresServer::Start()
{
    const bool choose = m_port == 0;
    for (int attempt = 0;; ++attempt) {
        if (choose)
            m_port = freePort();
        std::string options = "-p " + std::to_string(m_port) + " -c listen_addresses=127.0.0.1" +
                              " -c unix_socket_directories=" + m_folder + " -c max_connections=60";
        if (!m_durable)
            options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
        try {
            run({kBin + "pg_ctl", "-D", m_folder + "/data", "-l", m_folder + "/server.log", "-w", "-t", "60",
                 "-o", options, "start"},
                "pg_ctl-start");
            m_running = true;
            return;
        } catch (const std::runtime_error &) {
            // Another program took the port in the meantime: another one, a few times.
            if (!choose || attempt == 4)
                throw;
        }
    }
}

void TPostgresServer::Stop(TStop How)
{
    m_running = false;
    run({kBin + "pg_ctl", "-D", m_folder + "/data", "-m", How == TStop::Fast ? "fast" : "immediate", "-w",
         "-t", "60", "stop"},
        "pg_ctl-stop");
}

std::string TPostgresServer::CreateDatabase(const std::string &Name)
{
    std::string name;
    for (char c : Name)
        name += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    name += '_';
    name += std::to_string(++databaseCounter);
    run({kBin + "createdb", "-h", m_folder, "-p", std::to_string(m_port), "-U", m_user, name}, "createdb");
    return name;
}

std::string TPostgresServer::Url(const std::string &Database, bool WithPassword) const
{
    return "postgresql://" + m_user + (WithPassword ? ":" + m_password : std::string()) + "@" + m_host + ":" +
           std::to_string(m_port) + "/" + Database;
}

} // namespace kestrel::test
