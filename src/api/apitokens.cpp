#include "api/apitokens.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

#include <array>

namespace kestrel::api {

namespace {
const std::array<const char *, 4> kScopeNames = {"", "read", "send", "admin"};
} // namespace

const char *ScopeName(TScope Scope)
{
    return kScopeNames[static_cast<size_t>(Scope)];
}

std::optional<TScope> ScopeFromName(const std::string &Name)
{
    for (size_t i = 1; i < kScopeNames.size(); ++i)
        if (Name == kScopeNames[i])
            return static_cast<TScope>(i);
    return std::nullopt;
}

std::string NewToken()
{
    std::array<quint32, 8> words;
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    const QByteArray bytes(reinterpret_cast<const char *>(words.data()), sizeof(words));
    return "kst_" +
           bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string TokenHash(const std::string &Token)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(Token), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

bool ConstantTimeEqual(const QByteArray &A, const QByteArray &B)
{
    if (A.size() != B.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < A.size(); ++i)
        diff |= static_cast<unsigned char>(A[i] ^ B[i]);
    return diff == 0;
}

TTokenBook::TTokenBook(TMessageStore &Store, int RefreshMs) : m_store(Store), m_refreshMs(RefreshMs) {}

std::optional<TApiToken> TTokenBook::Find(const std::string &Presented)
{
    const QByteArray hash = QByteArray::fromStdString(TokenHash(Presented));
    auto search = [&] {
        std::optional<TApiToken> found;
        // Every hash is compared, also after a match.
        for (const TApiToken &token : m_tokens)
            if (ConstantTimeEqual(hash, QByteArray::fromStdString(token.Hash)) && !found)
                found = token;
        return found;
    };
    auto read = [&](qint64 now) {
        m_tokens = m_store.Tokens();
        m_readAtMs = now;
    };
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool fresh = m_readAtMs >= 0 && now - m_readAtMs < m_refreshMs && now >= m_readAtMs;
    if (!fresh)
        read(now);
    std::optional<TApiToken> found = search();
    // A token made a moment ago works at once. The server limits failed attempts per address,
    // which bounds these reads.
    if (!found && fresh) {
        read(now);
        found = search();
    }
    return found;
}

} // namespace kestrel::api
