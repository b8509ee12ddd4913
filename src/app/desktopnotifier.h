// TDesktopNotifier shows a desktop notification through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). Without a session bus or without the
// service nothing is shown and nothing waits: the call goes out without waiting for an answer.
#pragma once

#include <QDBusConnection>
#include <QString>

namespace kestrel {

class TDesktopNotifier {
public:
    // The session bus by default; tests give a bus of their own.
    explicit TDesktopNotifier(const QDBusConnection &bus = QDBusConnection::sessionBus());

    // Whether a notification service is there to show notifications.
    bool Available() const;
    // Shows one; false when no service is there.
    bool Notify(const QString &summary, const QString &body);

    static constexpr const char *kService = "org.freedesktop.Notifications";
    static constexpr const char *kPath = "/org/freedesktop/Notifications";

private:
    QDBusConnection m_bus;
};

} // namespace kestrel
