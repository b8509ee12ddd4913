// Sessions of the web console: a browser signs in once with a token and then carries a session
// cookie instead of the token. The cookie is HttpOnly (scripts cannot read it), SameSite=Strict
// (other sites' pages cannot send it) and Secure on a TLS server; every request that changes
// something also carries the session's CSRF token in a header, which a page of another origin
// cannot read or set.
//
// Sessions live in the memory of this API node: a restart signs everybody out, and several nodes
// behind a balancer each need their own sign-in (or a balancer that keeps a browser on one node).
// The session keeps the token it was opened with and asks the token book for it on every
// request, so a revoked token ends its sessions on every node within the book's refresh time.
#pragma once

#include "api/apitokens.h"

#include <QByteArray>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kestrel::api {

struct TApiRequest;

class TSessionBook {
public:
    static constexpr const char *kCookie = "kestrel_session";
    static constexpr const char *kCsrfHeader = "X-CSRF-Token";

    TSessionBook(TTokenBook &Tokens, bool Secure, int64_t IdleMs = 12 * 3600 * 1000,
                 size_t MaxSessions = 10000);

    struct TOpened {
        QByteArray Cookie; // the Set-Cookie value
        std::string Csrf;
    };
    // A new session for Token (already checked by the caller).
    TOpened Open(const std::string &Token);
    // The session the request's cookie names: the token it stands for (nullopt without a live
    // session, or when its token was revoked) and its CSRF token. A request that changes
    // something (any method but GET and HEAD) without the session's CSRF token raises EApiError 403.
    struct TFound {
        TApiToken Token;
        std::string Csrf;
    };
    std::optional<TFound> Find(const TApiRequest &Request);
    // Ends the request's session; the Set-Cookie value that removes the cookie.
    QByteArray Close(const TApiRequest &Request);
    size_t Count() const { return m_sessions.size(); }

private:
    struct TSession {
        std::string Token;
        std::string Csrf;
        int64_t LastUsedMs = 0;
    };
    // The map's key: SHA-256 of the cookie's value, so a lookup compares no secret byte by byte.
    static QByteArray keyOf(const TApiRequest &Request);
    QByteArray cookie(const QByteArray &Value, bool Remove) const;
    void expire(int64_t Now);

    TTokenBook &m_tokens;
    bool m_secure;
    int64_t m_idleMs;
    size_t m_max;
    std::map<QByteArray, TSession> m_sessions;
};

} // namespace kestrel::api
