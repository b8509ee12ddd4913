#include "store/storedatabase.h"

#include "base/format.h"
#include "store/messagestore.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QtGlobal>

#include <span>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestrel {

namespace {

std::atomic<int> connectionCounter{0};

// The channel on which PostgreSQL connections tell each other of writes.
const QString kChangesChannel = "kestrel_store";

// Dropping the prepared statements of a PostgreSQL connection that died makes Qt's driver try to
// free each of them on the server, and warn once per statement that it cannot ("Unable to free
// statement: no connection to the server"): noise on stderr, after the store has already said
// what happened. Those warnings are dropped while this thread drops statements; every other
// message goes on to the handler that was there before.
thread_local bool droppingStatements = false;
QtMessageHandler previousHandler = nullptr;

void filterWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (droppingStatements && type == QtWarningMsg && message.startsWith("Unable to free statement"))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void installWarningFilter()
{
    static std::once_flag once;
    std::call_once(once, [] { previousHandler = qInstallMessageHandler(filterWarnings); });
}

// The reason a driver gives, on one line.
QString reasonOf(const QSqlError &error)
{
    QString reason = error.databaseText().trimmed();
    if (reason.isEmpty())
        reason = error.driverText().trimmed();
    if (reason.isEmpty())
        reason = "unknown error";
    reason.replace('\n', "; ");
    return reason;
}

// Creates the missing folders of Path's folder (0700: messages are private) and an empty file
// 0600, so that SQLite gives its journal files the same mode.
void prepareFile(const std::string &path, const std::string &display)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw EStoreError(Format("Cannot open the message store %s: it is a folder", display.c_str()));
        return;
    }
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            throw EStoreError(
                Format("Cannot create the folder %s of the message store: %s", dir.c_str(), strerror(errno)));
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST)
        throw EStoreError(Format("Cannot create the message store %s: %s", display.c_str(), strerror(errno)));
    if (fd >= 0)
        close(fd);
}

// libpq's option string.
QString postgresOptions(const TStoreLocation &loc)
{
    QStringList parts;
    for (const auto &[key, value] : ConnectionOptions(loc))
        parts << QString::fromStdString(key + "=" + value);
    return parts.join(';');
}

} // namespace

TStoreDatabase::TStoreDatabase(TStoreLocation Location, bool Synchronous)
    : m_location(std::move(Location)), m_synchronous(Synchronous),
      m_connection(QString("kestrel-store-%1").arg(++connectionCounter))
{
    if (!m_location.PostgreSQL)
        prepareFile(m_location.Path, m_location.Display);
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(m_location.PostgreSQL ? "QPSQL" : "QSQLITE", m_connection);
        if (!db.isValid()) {
            QSqlDatabase::removeDatabase(m_connection);
            throw EStoreError(
                Format("Cannot open the message store %s: the Qt SQL driver %s is not installed",
                       m_location.Display.c_str(), m_location.PostgreSQL ? "QPSQL" : "QSQLITE"));
        }
        if (m_location.PostgreSQL) {
            installWarningFilter();
            db.setHostName(QString::fromStdString(m_location.Host));
            if (m_location.Port > 0)
                db.setPort(m_location.Port);
            db.setUserName(QString::fromStdString(m_location.User));
            // Without one in the URL, libpq takes PGPASSWORD or the password file itself.
            if (m_location.HasPassword)
                db.setPassword(QString::fromStdString(m_location.Password));
            db.setDatabaseName(QString::fromStdString(m_location.Database));
            db.setConnectOptions(postgresOptions(m_location));
        } else {
            db.setDatabaseName(QString::fromStdString(m_location.Path));
            // Another program (the window and a monitor) may hold the write lock for a moment.
            db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=10000");
        }
    }
    if (const std::string reason = connect(); !reason.empty()) {
        QSqlDatabase::removeDatabase(m_connection);
        throw EStoreError(
            Format("Cannot open the message store %s: %s", m_location.Display.c_str(), reason.c_str()));
    }
}

TStoreDatabase::~TStoreDatabase()
{
    disconnect();
    QSqlDatabase::removeDatabase(m_connection);
}

std::string TStoreDatabase::connect()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.open())
        return reasonOf(db.lastError()).toStdString();
    // Synchronous: a committed record survives a power cut, as the handset's copy is deleted
    // right after (otherwise only a crash of the program). PostgreSQL: a row another program keeps
    // locked is an error, not an endless wait.
    const char *sqlite[] = {"PRAGMA foreign_keys = ON",
                            m_synchronous ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL"};
    const char *server[] = {"SET lock_timeout = '30s'", "SET client_min_messages = warning",
                            m_synchronous ? "SET synchronous_commit = on" : "SET synchronous_commit = off"};
    QSqlQuery q(db);
    for (const char *sql :
         m_location.PostgreSQL ? std::span<const char *>(server) : std::span<const char *>(sqlite))
        if (!q.exec(sql))
            return reasonOf(q.lastError()).toStdString();
    if (!m_listeners.empty())
        listen();
    return {};
}

void TStoreDatabase::listen()
{
    QSqlDriver *driver = QSqlDatabase::database(m_connection, false).driver();
    if (!driver)
        return;
    for (const auto &listener : m_listeners)
        if (!driver->subscribedToNotifications().contains(listener.first))
            driver->subscribeToNotification(listener.first);
    // The driver stays across reconnections: one receiver.
    QObject::disconnect(driver, &QSqlDriver::notification, driver, nullptr);
    QObject::connect(driver, &QSqlDriver::notification, driver,
                     [this](const QString &channel, QSqlDriver::NotificationSource source, const QVariant &) {
                         const auto it = m_listeners.find(channel);
                         if (source != QSqlDriver::OtherSource || it == m_listeners.end())
                             return;
                         // A copy: a listener may subscribe another one while it runs.
                         const std::vector<std::function<void()>> listeners = it->second;
                         for (const auto &listener : listeners)
                             if (listener)
                                 listener();
                     });
}

bool TStoreDatabase::Listen(const QString &Channel, std::function<void()> OnOther)
{
    if (!m_location.PostgreSQL)
        return false;
    m_listeners[Channel].push_back(std::move(OnOther));
    listen();
    return true;
}

void TStoreDatabase::Notify(const QString &Channel)
{
    // Sent just before the commit: a transaction that queues a thousand messages tells each
    // listener once, and costs the server one statement instead of a thousand.
    if (m_location.PostgreSQL)
        m_notifications.insert(Channel);
}

bool TStoreDatabase::NotifiedOfChanges()
{
    if (!m_location.PostgreSQL)
        return false;
    if (!m_listeners.count(kChangesChannel))
        Listen(kChangesChannel, [this] { m_notified = true; });
    return std::exchange(m_notified, false);
}

void TStoreDatabase::disconnect()
{
    droppingStatements = true;
    m_statements.clear();
    droppingStatements = false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isOpen())
        db.close();
}

void TStoreDatabase::fail(const QSqlError &error) const
{
    throw EStoreError(reasonOf(error).toStdString());
}

void TStoreDatabase::Transaction(bool Write, const char *What, const std::function<void()> &Body)
{
    const QString begin = Write && !m_location.PostgreSQL ? "BEGIN IMMEDIATE" : "BEGIN";
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    {
        QSqlQuery q(db);
        if (!db.isOpen() || !q.exec(begin)) {
            // A server that went away and came back needs a new connection; a file that is
            // busy or unreadable fails again and says why.
            disconnect();
            if (const std::string reason = connect(); !reason.empty())
                throw EStoreError(
                    Format("Message store %s: %s: %s", m_location.Display.c_str(), What, reason.c_str()));
            db = QSqlDatabase::database(m_connection, false);
            QSqlQuery again(db);
            if (!again.exec(begin))
                throw EStoreError(Format("Message store %s: %s: %s", m_location.Display.c_str(), What,
                                         reasonOf(again.lastError()).toStdString().c_str()));
        }
    }
    try {
        m_changed = false;
        m_notifications.clear();
        Body();
        QSqlQuery q(db);
        // Delivered to the listening connections at the commit, not before; a transaction that
        // changed nothing (an idle gateway's look at the queue) tells nobody.
        if (Write && m_changed)
            Notify(kChangesChannel);
        for (const QString &channel : std::exchange(m_notifications, {}))
            Exec("NOTIFY " + channel);
        if (!q.exec("COMMIT"))
            fail(q.lastError());
    } catch (const std::exception &e) {
        if (db.isOpen()) {
            QSqlQuery q(db);
            q.exec("ROLLBACK");
        }
        throw EStoreError(Format("Message store %s: %s: %s", m_location.Display.c_str(), What, e.what()));
    }
}

QSqlQuery &TStoreDatabase::Run(const QString &Sql, const QVariantList &Values)
{
    auto it = m_statements.find(Sql);
    if (it == m_statements.end()) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.setForwardOnly(true);
        if (!q.prepare(Sql))
            fail(q.lastError());
        it = m_statements.emplace(Sql, std::move(q)).first;
    }
    QSqlQuery &q = it->second;
    for (int i = 0; i < Values.size(); ++i)
        q.bindValue(i, Values[i]);
    if (!q.exec())
        fail(q.lastError());
    // Rows inserted (also with RETURNING), changed or removed; -1: the driver cannot tell.
    if (!Sql.startsWith("SELECT") && (Sql.startsWith("INSERT") || q.numRowsAffected() != 0))
        m_changed = true;
    return q;
}

void TStoreDatabase::Exec(const QString &Sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(Sql))
        fail(q.lastError());
    if (!Sql.startsWith("NOTIFY"))
        m_changed = true;
}

QVariant TStoreDatabase::Scalar(const QString &Sql, const QVariantList &Values)
{
    QSqlQuery &q = Run(Sql, Values);
    QVariant value;
    if (q.next())
        value = q.value(0);
    q.finish();
    return value;
}

} // namespace kestrel
