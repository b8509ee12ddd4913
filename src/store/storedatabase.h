// The one connection of a message store to its database (QtSql: QSQLITE for a file, QPSQL for a
// server), with transactions that either commit whole or raise EStoreError, prepared statements
// kept for reuse, and a new connection when a server that went away is back.
#pragma once

#include "store/storelocation.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

class TStoreDatabase {
public:
    // Connects (an SQLite file is created 0600, its folder 0700, when missing). Synchronous: each
    // commit waits until the disk has it. Raises EStoreError.
    TStoreDatabase(TStoreLocation Location, bool Synchronous);
    ~TStoreDatabase();
    TStoreDatabase(const TStoreDatabase &) = delete;
    TStoreDatabase &operator=(const TStoreDatabase &) = delete;

    bool PostgreSQL() const { return m_location.PostgreSQL; }
    const TStoreLocation &Location() const { return m_location; }
    const std::string &DisplayName() const { return m_location.Display; }
    // The schema version the store has (set once it is prepared).
    int SchemaVersion() const { return m_schemaVersion; }
    void SetSchemaVersion(int Version) { m_schemaVersion = Version; }

    // Runs Body in one transaction and commits. Write says that it writes: SQLite then takes the
    // write lock at the start, so two programs never deadlock upgrading a read. Any failure rolls
    // back and raises EStoreError "Message store <where>: <What>: <reason>".
    void Transaction(bool Write, const char *What, const std::function<void()> &Body);

    // Binds Values in order to the (cached) prepared statement Sql and runs it. Raises on failure
    // (within Transaction, which adds the context).
    QSqlQuery &Run(const QString &Sql, const QVariantList &Values = {});
    // Runs Sql unprepared (schema statements).
    void Exec(const QString &Sql);
    // The first column of the first row of Sql, or an invalid QVariant when there is no row.
    QVariant Scalar(const QString &Sql, const QVariantList &Values = {});

    // PostgreSQL: every write transaction tells the other connections (NOTIFY); from the first
    // call on this connection listens (again after a reconnection), and the result says whether
    // another connection wrote since the last call. Notifications arrive through the event loop.
    bool NotifiedOfChanges();
    // PostgreSQL: OnOther runs (from the event loop) whenever another connection notifies Channel;
    // the subscription holds across reconnections, and several may listen to one channel. False
    // on SQLite, which has no notifications.
    bool Listen(const QString &Channel, std::function<void()> OnOther);
    // PostgreSQL: tells the listening connections of Channel at the commit (within a write
    // transaction; once per transaction however often it is called); nothing on SQLite.
    void Notify(const QString &Channel);

private:
    // Opens the connection and sets it up; the reason of a failure, or "".
    std::string connect();
    void disconnect();
    // Subscribes the connection to the channels listened to.
    void listen();
    [[noreturn]] void fail(const class QSqlError &error) const;

    TStoreLocation m_location;
    bool m_synchronous = true;
    QString m_connection;
    std::map<QString, QSqlQuery> m_statements;
    std::map<QString, std::vector<std::function<void()>>> m_listeners; // by channel
    bool m_notified = false; // another connection wrote since NotifiedOfChanges
    bool m_changed = false;  // the transaction under way changed a row
    int m_schemaVersion = 0;
    std::set<QString> m_notifications; // channels to notify at the commit
};

} // namespace kestrel
