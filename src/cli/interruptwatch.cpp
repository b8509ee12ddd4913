#include "cli/interruptwatch.h"

#include <QStringDecoder>

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kestrel::cli {

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &c, 1);
}

} // namespace

TInterruptWatch::TInterruptWatch(QEventLoop &loop)
{
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot watch for Ctrl-C");
    m_notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, &m_oldInt);
    sigaction(SIGTERM, &action, &m_oldTerm);
}

TInterruptWatch::~TInterruptWatch()
{
    sigaction(SIGINT, &m_oldInt, nullptr);
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    m_notifier.reset();
    close(gSignalPipe[0]);
    close(gSignalPipe[1]);
}

bool TInterruptWatch::Signalled() const
{
    char c;
    return read(gSignalPipe[0], &c, 1) == 1;
}

QString LogText(const std::string &line)
{
    const QByteArray bytes(line.data(), static_cast<qsizetype>(line.size()));
    QStringDecoder utf8(QStringConverter::Utf8);
    QString text = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

} // namespace kestrel::cli
