// What every file of the store hands to and takes from SQL: text, bytes and times in the forms
// both back ends accept. Private to src/store.
#pragma once

#include "base/clock.h"
#include "base/datetime.h"
#include "store/storedatabase.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <string>

namespace kestrel::storesql {

// Times in the database: milliseconds since 1970-01-01 UTC.
inline qint64 toMs(TDateTime t)
{
    return DateTimeToUnixMs(t);
}

inline TDateTime fromMs(qint64 ms)
{
    return UnixMsToDateTime(ms);
}

// Now for leases and due times of the queue, within a transaction: the server's clock on
// PostgreSQL, one clock for every machine that shares the store (a machine whose clock runs ahead
// must not take over claims still being sent); the clock in force on SQLite, where one machine's
// is the only one.
inline qint64 QueueNowMs(TStoreDatabase &db)
{
    if (db.PostgreSQL())
        return db.Scalar("SELECT CAST(FLOOR(EXTRACT(EPOCH FROM clock_timestamp()) * 1000) AS BIGINT)")
            .toLongLong();
    return Clock().UnixMs();
}

// Text for the database: malformed UTF-8 becomes replacement characters, and so does NUL, which
// PostgreSQL refuses in text (a caller's modem label or error text, an address).
inline QString q(const std::string &s)
{
    QString text = QString::fromStdString(s);
    text.replace(QChar(0), QChar(0xFFFD));
    return text;
}

// Octets for a binary column, as they are.
inline QByteArray bytes(const std::string &s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

// A text or binary column back as a byte string (UTF-8 for text).
inline std::string str(const QVariant &v)
{
    const QByteArray b = v.typeId() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

} // namespace kestrel::storesql
