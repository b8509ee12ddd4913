// The web console: its files (HTML, CSS and JavaScript modules compiled in as Qt resources from
// src/api/web), the sign-in and sign-out of browser sessions, and the routes its pages read
// beside the API's own: conversations, a conversation's messages as the Messages view shows
// them (pictures as PNG, melodies as notes, vCards and vCalendars as fields), the queue with retry,
// tokens, the alphabet the reply box counts with, and the event stream (eventstream.h). The routes join the
// API's one table, so they are in the OpenAPI document and under the same scopes; a session stands for its
// token.
#pragma once

#include "api/apiroutes.h"
#include "api/consolesessions.h"
#include "api/eventstream.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace kestrel {
class TMessageStore;
}

namespace kestrel::api {

class TConsole {
public:
    TConsole(TMessageStore &Store, TTokenBook &Tokens, bool Tls);

    // The console's routes, for the API's table.
    std::vector<TRoute> Routes();
    // The console's file for a GET of Path ("/" is the page), or nullopt.
    static std::optional<TApiResponse> File(const QByteArray &Method, const QString &Path);
    // The headers every answer carries: a strict Content-Security-Policy (scripts and styles only
    // from this server's files, nothing inline, no framing), no type sniffing, no referrer.
    static void AddSecurityHeaders(TApiResponse &Response);
    TSessionBook &Sessions() { return m_sessions; }

private:
    TApiResponse openSession(const TApiRequest &Request);
    TApiResponse session(const TApiRequest &Request);
    TApiResponse closeSession(const TApiRequest &Request);
    TApiResponse conversations(const TApiRequest &Request);
    TApiResponse thread(const TApiRequest &Request);
    TApiResponse picture(const TApiRequest &Request);
    TApiResponse queue(const TApiRequest &Request);
    TApiResponse retry(const TApiRequest &Request);
    TApiResponse tokens(const TApiRequest &Request);
    TApiResponse addToken(const TApiRequest &Request);
    TApiResponse revokeToken(const TApiRequest &Request);
    TApiResponse alphabet(const TApiRequest &Request);

    TMessageStore &m_store;
    TSessionBook m_sessions;
    std::unique_ptr<TEventStreams> m_events;
};

// A stored message as the console shows it: the API's JSON of it (with each part for sent ones)
// and what the Messages view renders of it: "title", "text", "problem", "progress", "pictures"
// (label, size, frames and the URL of their PNG), "melody" (title, notes, and tones as
// [frequency in Hz, milliseconds] pairs, at most kMaxMelodyMs long) and "card" (a vCard's or
// vCalendar's fields as [name, value] pairs).
QJsonObject ConsoleMessageJson(const TStoredMessage &Message);

} // namespace kestrel::api
