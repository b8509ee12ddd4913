// What the long-running commands (monitor, gateway) share: SIGINT and SIGTERM ending their event
// loop on the main thread, and log lines as JSON text.
#pragma once

#include <QEventLoop>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <memory>
#include <string>

namespace kestrel::cli {

// Ends an event loop on SIGINT or SIGTERM for its lifetime, through a pipe the loop watches, so
// that everything is closed on the main thread as on any other end; the former handlers come
// back after. One at a time.
class TInterruptWatch {
public:
    explicit TInterruptWatch(QEventLoop &loop);
    ~TInterruptWatch();
    TInterruptWatch(const TInterruptWatch &) = delete;
    TInterruptWatch &operator=(const TInterruptWatch &) = delete;

    // True when a signal came before the loop ran.
    bool Signalled() const;

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt = {}, m_oldTerm = {};
};

// A log line as JSON text: the file holds bytes, mostly UTF-8 (whole texts) or ASCII; anything
// else is shown byte for byte.
QString LogText(const std::string &line);

} // namespace kestrel::cli
