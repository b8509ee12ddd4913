#include "app/desktopnotifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

namespace kestrel {

TDesktopNotifier::TDesktopNotifier(const QDBusConnection &bus) : m_bus(bus) {}

bool TDesktopNotifier::Available() const
{
    if (!m_bus.isConnected() || !m_bus.interface())
        return false;
    return m_bus.interface()->isServiceRegistered(kService).value();
}

bool TDesktopNotifier::Notify(const QString &summary, const QString &body)
{
    if (!Available())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // service's default).
    call << QString("GSM Kestrel") << 0u << QString("mail-message-new") << summary << body << QStringList()
         << QVariantMap() << -1;
    // Not waited for: a slow service must not hold the window.
    return m_bus.send(call);
}

} // namespace kestrel
