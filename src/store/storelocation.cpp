#include "store/storelocation.h"

#include "base/format.h"
#include "store/messagestore.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>

namespace kestrel {

namespace {

// Options a store URL may carry. Everything that names a password stays out (the URL, the
// environment and the password file give it), and so does anything that would run a command.
constexpr std::array kOptions = {"sslmode",  "sslrootcert",     "sslcert",          "sslkey",
                                 "sslcrl",   "connect_timeout", "application_name", "target_session_attrs",
                                 "passfile", "keepalives_idle", "gssencmode"};

[[noreturn]] void bad(const std::string &display, const std::string &why)
{
    throw EStoreError(Format("Bad message store URL %s: %s", display.c_str(), why.c_str()));
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Percent-decoding of RFC 3986 2.1.
std::string decoded(std::string_view part, const std::string &display, const char *what)
{
    std::string out;
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] != '%') {
            out += part[i];
            continue;
        }
        const int hi = i + 2 < part.size() ? hexValue(part[i + 1]) : -1;
        const int lo = hi >= 0 ? hexValue(part[i + 2]) : -1;
        if (lo < 0)
            bad(display, Format("a %% in the %s is not followed by two hexadecimal digits", what));
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

// Connection option values travel inside libpq's option string: nothing that could end a value
// or start another one.
bool plainValue(const std::string &value)
{
    return std::all_of(value.begin(), value.end(), [](unsigned char c) {
        return c > 0x20 && c != '\'' && c != '\\' && c != ';' && c != '=' && c != 0x7F;
    });
}

// The length of a leading URL scheme with its ":" ("postgresql:"), or 0 when the text starts with
// none. A scheme counts only when "//" follows, or when it is PostgreSQL's (a slash forgotten).
size_t schemeLength(std::string_view text)
{
    size_t n = 0;
    while (n < text.size() && (std::isalpha(static_cast<unsigned char>(text[n])) ||
                               (n > 0 && (std::isdigit(static_cast<unsigned char>(text[n])) ||
                                          text[n] == '+' || text[n] == '-' || text[n] == '.'))))
        ++n;
    if (n == 0 || n >= text.size() || text[n] != ':')
        return 0;
    std::string name(text.substr(0, n));
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    if (text.substr(n + 1).starts_with("//") || name == "postgresql" || name == "postgres")
        return n + 1;
    return 0;
}

} // namespace

std::vector<std::pair<size_t, size_t>> LocationSecrets(std::string_view Location)
{
    std::vector<std::pair<size_t, size_t>> spans;
    const size_t scheme = schemeLength(Location);
    if (scheme == 0)
        return spans;
    size_t start = scheme;
    while (start < Location.size() && Location[start] == '/')
        ++start;
    const size_t at = Location.rfind('@');
    if (at != std::string_view::npos && at > start) {
        const size_t colon = Location.find(':', start);
        if (colon < at)
            spans.emplace_back(colon + 1, at - colon - 1);
    }
    const size_t after = spans.empty() ? start : spans.back().first + spans.back().second;
    for (size_t key = Location.find("password=", after); key != std::string_view::npos;
         key = Location.find("password=", key + 1)) {
        if (Location[key - 1] != '?' && Location[key - 1] != '&')
            continue;
        const size_t value = key + 9;
        const size_t end = std::min(Location.find('&', value), Location.size());
        spans.emplace_back(value, end - value);
    }
    return spans;
}

std::string MaskedLocation(std::string_view Location)
{
    std::string out;
    size_t done = 0;
    for (const auto &[offset, length] : LocationSecrets(Location)) {
        out += Location.substr(done, offset - done);
        out += "***";
        done = offset + length;
    }
    out += Location.substr(done);
    return out;
}

bool LocalHost(const std::string &Host)
{
    size_t start = 0;
    do {
        const size_t comma = std::min(Host.find(',', start), Host.size());
        std::string host = Host.substr(start, comma - start);
        start = comma + 1;
        std::transform(host.begin(), host.end(), host.begin(), ::tolower);
        if (host.empty() || host.starts_with('/') || host == "localhost")
            continue;
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127)
            continue;
        if (inet_pton(AF_INET6, host.c_str(), &v6) == 1 &&
            (IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127)))
            continue;
        return false;
    } while (start <= Host.size());
    return true;
}

std::vector<std::pair<std::string, std::string>> ConnectionOptions(const TStoreLocation &Location)
{
    std::vector<std::pair<std::string, std::string>> options = Location.Options;
    auto given = [&](const std::string &key) {
        return std::any_of(options.begin(), options.end(), [&](const auto &o) { return o.first == key; });
    };
    auto add = [&](const std::string &key, const std::string &value) {
        if (!given(key))
            options.emplace_back(key, value);
    };
    for (const auto &[key, value] : {std::pair{"connect_timeout", "10"},
                                     {"application_name", "kestrel"},
                                     {"keepalives", "1"},
                                     {"keepalives_idle", "30"},
                                     {"keepalives_interval", "10"},
                                     {"keepalives_count", "3"},
                                     {"tcp_user_timeout", "60000"}})
        add(key, value);
    // The queue is a command channel (a queued row sends a message from the SIM): over a network
    // nobody may read or change it on the way, nor stand in for the server. A user may ask for
    // less in the URL or in PGSSLMODE, as for PostgreSQL's own tools.
    if (LocalHost(Location.Host) || given("sslmode") || std::getenv("PGSSLMODE"))
        return options;
    add("sslmode", "verify-full");
    if (given("sslrootcert") || std::getenv("PGSSLROOTCERT"))
        return options;
    // libpq's own default is ~/.postgresql/root.crt (a private authority); without one, the
    // authorities the system trusts.
    struct stat st {};
    const char *home = std::getenv("HOME");
    const std::string own = std::string(home ? home : "") + "/.postgresql/root.crt";
    const char *system = "/etc/ssl/certs/ca-certificates.crt";
    if ((!home || stat(own.c_str(), &st) != 0) && stat(system, &st) == 0)
        add("sslrootcert", system);
    return options;
}

TStoreLocation ParseStoreLocation(const std::string &Location)
{
    TStoreLocation loc;
    // Masked before anything can be reported.
    loc.Display = MaskedLocation(Location);
    if (Location.empty())
        throw EStoreError("No message store given");
    const size_t scheme = schemeLength(Location);
    if (scheme == 0) {
        loc.Path = Location;
        return loc;
    }
    const std::string name = Location.substr(0, scheme - 1);
    if (name != "postgresql" && name != "postgres")
        bad(loc.Display, "only postgresql:// URLs or file paths name a store");
    if (Location.compare(scheme, 2, "//") != 0)
        bad(loc.Display, "a store URL starts with postgresql://");
    std::string_view rest = std::string_view(Location).substr(scheme + 2);
    loc.PostgreSQL = true;

    const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    const size_t at = rest.substr(0, authorityEnd).rfind('@');
    // "gw:s3cr/et@db": a "/" or "?" written as it is in the password ends the server's part of
    // the URL before the "@", and the rest would be read as a port and a database name.
    if (at == std::string_view::npos && rest.find('@', authorityEnd) != std::string_view::npos &&
        !LocationSecrets(Location).empty() && !rest.starts_with('[')) {
        const size_t colon = rest.substr(0, authorityEnd).find(':');
        const std::string_view port = colon == std::string_view::npos
                                          ? std::string_view()
                                          : rest.substr(colon + 1, authorityEnd - colon - 1);
        if (colon != std::string_view::npos &&
            (port.empty() || !std::all_of(port.begin(), port.end(), ::isdigit)))
            bad(loc.Display, "a /, ? or # in the user name or password is written %2F, %3F or %23");
    }

    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view path = rest.substr(authorityEnd);
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = userinfo.find(':');
        loc.User = decoded(userinfo.substr(0, colon), loc.Display, "user name");
        if (colon != std::string_view::npos) {
            loc.Password = decoded(userinfo.substr(colon + 1), loc.Display, "password");
            loc.HasPassword = true;
        }
    }
    std::string_view hostPart = authority, portPart;
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            bad(loc.Display, "an IPv6 address in [ ] is not closed");
        hostPart = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':'))
            bad(loc.Display, "unexpected text after the IPv6 address");
        portPart = after.empty() ? after : after.substr(1);
    } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        hostPart = authority.substr(0, colon);
        portPart = authority.substr(colon + 1);
    }
    loc.Host = decoded(hostPart, loc.Display, "host");
    if (!portPart.empty()) {
        if (portPart.size() > 5 || !std::all_of(portPart.begin(), portPart.end(), ::isdigit))
            bad(loc.Display, "the port is not a number");
        loc.Port = std::stoi(std::string(portPart));
        if (loc.Port < 1 || loc.Port > 65535)
            bad(loc.Display, "the port is not between 1 and 65535");
    }

    const size_t query = path.find('?');
    std::string_view database = path.substr(0, query);
    if (database.starts_with('/'))
        database.remove_prefix(1);
    loc.Database = decoded(database, loc.Display, "database name");
    if (loc.Database.find('/') != std::string::npos)
        bad(loc.Display, "the database name contains a /");
    if (query != std::string_view::npos) {
        std::string_view options = path.substr(query + 1);
        while (!options.empty()) {
            const size_t amp = std::min(options.find('&'), options.size());
            std::string_view pair = options.substr(0, amp);
            options.remove_prefix(std::min(amp + 1, options.size()));
            if (pair.empty())
                continue;
            const size_t eq = pair.find('=');
            const std::string key = decoded(pair.substr(0, eq), loc.Display, "option name");
            const std::string value = eq == std::string_view::npos
                                          ? std::string()
                                          : decoded(pair.substr(eq + 1), loc.Display, "option");
            if (key == "host") {
                loc.Host = value; // a socket folder, as libpq's own URLs allow
                continue;
            }
            if (std::find(kOptions.begin(), kOptions.end(), key) == kOptions.end())
                bad(loc.Display, Format("the option \"%s\" is not taken here", key.c_str()));
            if (value.empty() || !plainValue(value))
                bad(loc.Display,
                    Format("the option \"%s\" needs a value without blanks, quotes or ;", key.c_str()));
            loc.Options.emplace_back(key, value);
        }
    }
    if (loc.Host.find_first_of("'\\") != std::string::npos)
        bad(loc.Display, "the host contains a quote or backslash");
    return loc;
}

} // namespace kestrel
