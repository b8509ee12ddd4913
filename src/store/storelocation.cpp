#include "store/storelocation.h"

#include "base/format.h"
#include "store/messagestore.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

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

} // namespace

TStoreLocation ParseStoreLocation(const std::string &Location)
{
    TStoreLocation loc;
    loc.Display = Location;
    if (Location.empty())
        throw EStoreError("No message store given");
    const size_t scheme = Location.find("://");
    if (scheme == std::string::npos || Location.find('/') < scheme) {
        loc.Path = Location;
        return loc;
    }
    const std::string name = Location.substr(0, scheme);
    std::string_view rest = std::string_view(Location).substr(scheme + 3);

    // Mask the password before anything can be reported.
    const size_t authorityEnd = std::min(rest.find_first_of("/?"), rest.size());
    const size_t at = rest.substr(0, authorityEnd).rfind('@');
    if (at != std::string_view::npos) {
        const size_t colon = rest.substr(0, at).find(':');
        if (colon != std::string_view::npos)
            loc.Display =
                name + "://" + std::string(rest.substr(0, colon)) + ":***" + std::string(rest.substr(at));
    }
    if (name != "postgresql" && name != "postgres")
        bad(loc.Display, "only postgresql:// URLs or file paths name a store");
    loc.PostgreSQL = true;

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
