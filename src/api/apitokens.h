// Tokens of the HTTP API: a random token is shown once when it is made; the store keeps only its
// SHA-256. A request's token is hashed and compared with every known hash in constant time, so
// neither the comparison nor the search reveals how much of a guess was right.
#pragma once

#include "store/messagestore.h"

#include <QByteArray>

#include <optional>
#include <string>
#include <vector>

namespace kestrel::api {

// What a token may do; each scope includes the ones before it.
enum class TScope { scNone, scRead, scSend, scAdmin };

const char *ScopeName(TScope Scope);
std::optional<TScope> ScopeFromName(const std::string &Name);

// A new token: "kst_" and 43 characters (256 random bits, base64url).
std::string NewToken();
// Lower-case hex SHA-256 of Token, as the store keeps it.
std::string TokenHash(const std::string &Token);
// Equal lengths and bytes, in a time that depends only on the lengths.
bool ConstantTimeEqual(const QByteArray &A, const QByteArray &B);

// The server's copy of the token list, read again from the store when older than RefreshMs (so a
// revoked token stops working within that time on every API node) and when a token is not in it.
class TTokenBook {
public:
    TTokenBook(TMessageStore &Store, int RefreshMs);
    // The token Presented names, or nullopt. Raises EStoreError when the list cannot be read.
    std::optional<TApiToken> Find(const std::string &Presented);

private:
    TMessageStore &m_store;
    int m_refreshMs;
    qint64 m_readAtMs = -1;
    std::vector<TApiToken> m_tokens;
};

} // namespace kestrel::api
