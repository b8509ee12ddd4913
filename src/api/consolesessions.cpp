#include "api/consolesessions.h"

#include "api/apiroutes.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <algorithm>

namespace kestrel::api {

namespace {

int64_t nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// 256 random bits, base64url.
std::string randomSecret()
{
    return NewToken().substr(4);
}

// The value of cookie Name in a Cookie header ("a=1; b=2"), or an empty array.
QByteArray cookieValue(const QByteArray &header, const QByteArray &name)
{
    for (const QByteArray &pair : header.split(';')) {
        const QByteArray item = pair.trimmed();
        const qsizetype eq = item.indexOf('=');
        if (eq > 0 && item.left(eq) == name)
            return item.mid(eq + 1);
    }
    return {};
}

} // namespace

TSessionBook::TSessionBook(TTokenBook &Tokens, bool Secure, int64_t IdleMs, size_t MaxSessions)
    : m_tokens(Tokens), m_secure(Secure), m_idleMs(IdleMs), m_max(std::max<size_t>(1, MaxSessions))
{
}

QByteArray TSessionBook::keyOf(const TApiRequest &Request)
{
    QByteArray value;
    // A browser may send several Cookie headers; the session's is in one of them.
    for (const auto &[name, v] : Request.Headers)
        if (name.compare("Cookie", Qt::CaseInsensitive) == 0)
            if (value = cookieValue(v, kCookie); !value.isEmpty())
                break;
    if (value.isEmpty())
        return {};
    return QCryptographicHash::hash(value, QCryptographicHash::Sha256);
}

QByteArray TSessionBook::cookie(const QByteArray &Value, bool Remove) const
{
    QByteArray c = QByteArray(kCookie) + "=" + Value + "; Path=/; HttpOnly; SameSite=Strict";
    if (m_secure)
        c += "; Secure";
    if (Remove)
        c += "; Max-Age=0";
    return c;
}

void TSessionBook::expire(int64_t now)
{
    std::erase_if(m_sessions, [&](const auto &e) { return now - e.second.LastUsedMs > m_idleMs; });
}

TSessionBook::TOpened TSessionBook::Open(const std::string &Token)
{
    const int64_t now = nowMs();
    expire(now);
    if (m_sessions.size() >= m_max) {
        // The session idle longest makes room: many sign-ins cannot grow the map without end.
        auto oldest =
            std::min_element(m_sessions.begin(), m_sessions.end(), [](const auto &a, const auto &b) {
                return a.second.LastUsedMs < b.second.LastUsedMs;
            });
        m_sessions.erase(oldest);
    }
    const QByteArray value = QByteArray::fromStdString(randomSecret());
    TSession s{Token, randomSecret(), now};
    m_sessions[QCryptographicHash::hash(value, QCryptographicHash::Sha256)] = s;
    return {cookie(value, false), s.Csrf};
}

std::optional<TSessionBook::TFound> TSessionBook::Find(const TApiRequest &Request)
{
    const QByteArray key = keyOf(Request);
    if (key.isEmpty())
        return std::nullopt;
    const int64_t now = nowMs();
    auto it = m_sessions.find(key);
    if (it == m_sessions.end() || now - it->second.LastUsedMs > m_idleMs) {
        if (it != m_sessions.end())
            m_sessions.erase(it);
        return std::nullopt;
    }
    if (Request.Method != "GET" && Request.Method != "HEAD" &&
        !ConstantTimeEqual(Request.Header(kCsrfHeader), QByteArray::fromStdString(it->second.Csrf)))
        throw EApiError(403, "this request needs the session's CSRF token", kCsrfHeader);
    std::optional<TApiToken> token = m_tokens.Find(it->second.Token);
    if (!token) {
        // The token was revoked: its sessions end with it.
        m_sessions.erase(it);
        return std::nullopt;
    }
    it->second.LastUsedMs = now;
    return TFound{*token, it->second.Csrf};
}

QByteArray TSessionBook::Close(const TApiRequest &Request)
{
    if (const QByteArray key = keyOf(Request); !key.isEmpty())
        m_sessions.erase(key);
    return cookie("", true);
}

} // namespace kestrel::api
