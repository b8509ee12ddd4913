// What the store's process tests share: a fresh store location on either back end, and a poll for
// conditions that other processes bring about.
#pragma once

#include "pgserver.h"

#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kestrel::test {

// A new, empty store: a database of the shared PostgreSQL server, or an SQLite file in Dir.
inline std::string NewStoreLocation(const std::string &Backend, const QTemporaryDir &Dir,
                                    const std::string &Prefix)
{
    static int counter = 0;
    const std::string name = Prefix + std::to_string(++counter);
    if (Backend == "postgresql") {
        auto &server = TPostgresServer::Shared();
        return server.Url(server.CreateDatabase(name));
    }
    return Dir.filePath(QString::fromStdString(name + ".sqlite")).toStdString();
}

// Polls until Pred holds (true) or TimeoutMs pass (false).
inline bool PollUntil(const std::function<bool()> &Pred, int TimeoutMs, int PeriodMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(PeriodMs));
    }
    return true;
}

} // namespace kestrel::test
