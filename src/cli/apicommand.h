// The options that serve the HTTP API, shared by kestrel api and kestrel gateway.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace kestrel::api {
struct TApiSettings;
}

namespace kestrel::cli {

// --http ADDRESS:PORT, --tls-cert FILE, --tls-key FILE.
void AddHttpOptions(QCommandLineParser &parser);
extern const char *const kHttpOptionsHelp;
// Reads them into Settings; a usage error text, or "".
QString ReadHttpOptions(const QCommandLineParser &parser, api::TApiSettings &settings);
// The arguments that start "kestrel api" with the same store and HTTP options.
QStringList HttpArguments(const QCommandLineParser &parser);

} // namespace kestrel::cli
