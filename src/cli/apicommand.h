// The options that serve the HTTP API, shared by kestrel api and kestrel gateway.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <QProcessEnvironment>

#include <vector>

namespace kestrel::api {
struct TApiSettings;
struct TWebhook;
struct TWebhookSettings;
} // namespace kestrel::api

namespace kestrel::cli {

// --http ADDRESS:PORT, --tls-cert FILE, --tls-key FILE.
void AddHttpOptions(QCommandLineParser &parser);
extern const char *const kHttpOptionsHelp;
// Reads them into Settings; a usage error text, or "".
QString ReadHttpOptions(const QCommandLineParser &parser, api::TApiSettings &settings);
// The arguments that start "kestrel api" with the same store and HTTP options.
QStringList HttpArguments(const QCommandLineParser &parser);

// --webhook SPEC (repeatable), --webhook-retry MS, --webhook-lease MS, --webhook-timeout MS.
void AddWebhookOptions(QCommandLineParser &parser);
extern const char *const kWebhookOptionsHelp;
// The webhooks of --webhook and of the settings file's [Webhook.NAME] sections (keys URL, Events,
// Secret), or, in a process that the gateway started, those it handed down; and the timing
// options. A usage error text, or "".
QString ReadWebhookOptions(const QCommandLineParser &parser, std::vector<api::TWebhook> &webhooks,
                           api::TWebhookSettings &settings);
// Hands Webhooks down to a kestrel process this one starts, in Environment (their secrets never
// show in the process list, as they would in the arguments), and their timing options in the
// arguments it returns.
QStringList HandDownWebhooks(const QCommandLineParser &parser, const std::vector<api::TWebhook> &webhooks,
                             QProcessEnvironment &environment);

} // namespace kestrel::cli
