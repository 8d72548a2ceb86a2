#include "bridge/access.h"

#include <algorithm>
#include <cctype>

namespace bridge {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal port of 1 to 5 digits up to 65535.
std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool listed(const std::vector<std::string>& list, std::string_view item) {
    for (const auto& entry : list)
        if (entry == "*" || equalNoCase(entry, item)) return true;
    return false;
}

}  // namespace

bool sameSecret(std::string_view a, std::string_view b) {
    // Every byte of the longer one is looked at, whatever the lengths and contents.
    size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

bool usableToken(std::string_view token) {
    if (token.size() < 16 || token.size() > 512) return false;
    for (char c : token) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') return false;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> formValue(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        size_t amp = form.find('&');
        std::string_view pair = form.substr(0, amp);
        form = amp == std::string_view::npos ? std::string_view{} : form.substr(amp + 1);
        size_t eq = pair.find('=');
        auto key = percentDecode(pair.substr(0, eq), true);
        if (!key || *key != name) continue;
        if (eq == std::string_view::npos) return std::string();
        return percentDecode(pair.substr(eq + 1), true);
    }
    return std::nullopt;
}

std::optional<std::string> queryValue(std::string_view target, std::string_view name) {
    size_t question = target.find('?');
    if (question == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    return formValue(query, name);
}

std::string targetWithout(std::string_view target, std::string_view name) {
    size_t question = target.find('?');
    if (question == std::string_view::npos) return std::string(target.substr(0, target.find('#')));
    std::string out(target.substr(0, question));
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    std::string kept;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        auto key = percentDecode(pair.substr(0, pair.find('=')), true);
        if (pair.empty() || (key && *key == name)) continue;
        if (!kept.empty()) kept += '&';
        kept += pair;
    }
    if (!kept.empty()) out += "?" + kept;
    return out;
}

std::optional<std::string> cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        size_t semi = header.find(';');
        std::string_view item = trimmed(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view{} : header.substr(semi + 1);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos || trimmed(item.substr(0, eq)) != name) continue;
        std::string_view value = trimmed(item.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

std::optional<std::string> bearerToken(std::string_view header) {
    header = trimmed(header);
    constexpr std::string_view scheme = "bearer";
    if (header.size() <= scheme.size() || !equalNoCase(header.substr(0, scheme.size()), scheme)) return std::nullopt;
    if (header[scheme.size()] != ' ' && header[scheme.size()] != '\t') return std::nullopt;
    std::string_view token = trimmed(header.substr(scheme.size()));
    if (token.empty()) return std::nullopt;
    return std::string(token);
}

Presented presentedToken(std::string_view target, std::string_view authorization, std::string_view cookie) {
    if (auto token = queryValue(target, TOKEN_PARAMETER)) return {TokenSource::Query, *token};
    if (!trimmed(authorization).empty()) return {TokenSource::Header, bearerToken(authorization).value_or("")};
    if (auto token = cookieValue(cookie, TOKEN_COOKIE)) return {TokenSource::Cookie, *token};
    return {};
}

Access decideAccess(const AccessPolicy& policy, const Presented& presented) {
    if (policy.driverToken.empty()) return Access::Driver;
    if (presented.source == TokenSource::None || presented.token.empty()) return Access::Refused;
    // Both compared every time, so that the time taken tells nothing about which one matched.
    bool driver = sameSecret(presented.token, policy.driverToken);
    bool viewer = !policy.viewerToken.empty() && sameSecret(presented.token, policy.viewerToken);
    if (driver) return Access::Driver;
    if (viewer) return Access::Viewer;
    return Access::Refused;
}

std::optional<HostPort> parseHost(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return std::nullopt;
    HostPort out;
    std::string_view rest;
    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        std::string_view inner = text.substr(1, close - 1);
        for (char c : inner)
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
        out.host = "[" + lowered(inner) + "]";
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        std::string_view name = text.substr(0, colon);
        if (name.empty() || name.size() > 253) return std::nullopt;
        for (char c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return std::nullopt;
        out.host = lowered(name);
        rest = colon == std::string_view::npos ? std::string_view{} : text.substr(colon);
    }
    if (!rest.empty()) {
        if (rest.front() != ':') return std::nullopt;
        out.port = parsePort(rest.substr(1));
        if (!out.port) return std::nullopt;
    }
    return out;
}

bool isIpLiteral(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return true;  // checked by parseHost
    // Four decimal parts of at most 255.
    int parts = 0;
    size_t i = 0;
    while (i <= host.size()) {
        size_t dot = host.find('.', i);
        std::string_view part = host.substr(i, dot == std::string_view::npos ? std::string_view::npos : dot - i);
        if (part.empty() || part.size() > 3) return false;
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        i = dot + 1;
    }
    return parts == 4;
}

bool hostAllowed(const AccessPolicy& policy, std::string_view hostHeader) {
    auto host = parseHost(hostHeader);
    if (!host) return false;
    // A name that someone else's DNS gives out cannot be an address: addresses and this
    // machine's own names are safe.
    if (isIpLiteral(host->host) || host->host == "localhost") return true;
    return listed(policy.allowHosts, host->host);
}

std::optional<Origin> parseOrigin(std::string_view text) {
    text = trimmed(text);
    size_t sep = text.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    Origin out;
    out.scheme = lowered(text.substr(0, sep));
    if (out.scheme != "http" && out.scheme != "https") return std::nullopt;
    std::string_view authority = text.substr(sep + 3);
    if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
    if (authority.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
    auto host = parseHost(authority);
    if (!host) return std::nullopt;
    out.host = host->host;
    out.port = host->port.value_or(out.scheme == "https" ? 443 : 80);
    return out;
}

bool originAllowed(const AccessPolicy& policy, std::string_view origin, std::string_view hostHeader) {
    if (trimmed(origin).empty()) return true;
    auto parsed = parseOrigin(origin);
    if (!parsed) return false;  // "null" (a sandboxed page, a file) included
    for (const auto& entry : policy.allowOrigins) {
        if (entry == "*") return true;
        auto allowed = parseOrigin(entry);
        if (allowed && allowed->scheme == parsed->scheme && allowed->host == parsed->host &&
            allowed->port == parsed->port) {
            return true;
        }
    }
    auto host = parseHost(hostHeader);
    if (!host) return false;
    std::string ownScheme = policy.tls ? "https" : "http";
    if (parsed->scheme != ownScheme || parsed->host != host->host) return false;
    uint16_t hostPort = host->port.value_or(policy.tls ? 443 : 80);
    if (parsed->port == hostPort) return true;
    return std::find(policy.ownPorts.begin(), policy.ownPorts.end(), parsed->port) != policy.ownPorts.end();
}

std::string loginCookie(std::string_view token, bool tls) {
    std::string cookie(TOKEN_COOKIE);
    cookie += "=";
    cookie += token;
    // A year: the token, not the cookie, is what the owner rotates.
    cookie += "; Path=/; Max-Age=31536000; HttpOnly; SameSite=Strict";
    if (tls) cookie += "; Secure";
    return cookie;
}

}  // namespace bridge
