// Who may come in through the bridge's ports, decided from the request's bytes alone: the token
// a client presents (on the URL, in an Authorization header, or in the dashboard's cookie) and
// the role it gives, the Host header (a page on a name that was made to point at the robot must
// not reach it) and the Origin of a WebSocket upgrade (a page of another site must not drive the
// robot through a visitor's browser). No sockets, no clock: every decision is a pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// The cookie that the dashboard's login sets.
inline constexpr std::string_view TOKEN_COOKIE = "halvoran_token";
inline constexpr std::string_view TOKEN_PARAMETER = "token";

struct AccessPolicy {
    std::string driverToken;  // empty: no token asked (loopback only, or --no-auth)
    std::string viewerToken;  // empty: no viewer token
    // Origins accepted beside the bridge's own, as "scheme://host[:port]" ("*": any).
    std::vector<std::string> allowOrigins;
    // Host names accepted in the Host header beside IP addresses and "localhost" ("*": any).
    std::vector<std::string> allowHosts;
    // The bridge's own ports: a page from one of them may open the WebSocket on the other.
    std::vector<uint16_t> ownPorts;
    bool tls = false;
};

// Equal strings, in a time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);
// A token that can travel in a URL, a header and a cookie unchanged: 16 to 512 visible ASCII
// characters without quotes, commas, semicolons or backslashes.
bool usableToken(std::string_view token);

// %XX and '+' decoded; nothing when a % is not followed by two hex digits.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace);
// The value of name in an application/x-www-form-urlencoded list ("a=1&token=x").
std::optional<std::string> formValue(std::string_view form, std::string_view name);
// The value of name in the query of a request target ("/ws?token=x").
std::optional<std::string> queryValue(std::string_view target, std::string_view name);
// The target without the parameter name in its query (where the login sends the browser on).
std::string targetWithout(std::string_view target, std::string_view name);
// The value of the cookie name in a Cookie header ("a=1; halvoran_token=x").
std::optional<std::string> cookieValue(std::string_view header, std::string_view name);
// The token of an "Authorization: Bearer TOKEN" header.
std::optional<std::string> bearerToken(std::string_view header);

// The token a request presents: the URL's first, then the Authorization header, then the cookie
// (the first one present decides: a wrong token on the URL is not saved by a right cookie).
enum class TokenSource { None, Query, Header, Cookie };
struct Presented {
    TokenSource source = TokenSource::None;
    std::string token;
};
Presented presentedToken(std::string_view target, std::string_view authorization, std::string_view cookie);

enum class Access { Driver, Viewer, Refused };
Access decideAccess(const AccessPolicy& policy, const Presented& presented);

// "name", "name:port", "[v6]" or "[v6]:port", the name in lower case; nothing when malformed.
struct HostPort {
    std::string host;
    std::optional<uint16_t> port;
};
std::optional<HostPort> parseHost(std::string_view text);
bool isIpLiteral(std::string_view host);
bool hostAllowed(const AccessPolicy& policy, std::string_view hostHeader);

// "scheme://host[:port]" with the default port of the scheme filled in; nothing when malformed.
struct Origin {
    std::string scheme;
    std::string host;
    uint16_t port = 0;
};
std::optional<Origin> parseOrigin(std::string_view text);
// No Origin (a native tool), the bridge's own (the host of the Host header, the scheme it
// serves, one of its ports or the Host header's), or one of allowOrigins.
bool originAllowed(const AccessPolicy& policy, std::string_view origin, std::string_view hostHeader);

// The Set-Cookie value that logs a browser in with this token.
std::string loginCookie(std::string_view token, bool tls);

}  // namespace bridge
