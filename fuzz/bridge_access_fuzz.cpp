// libFuzzer target: the bytes a client controls in a request to the bridge (target, Host,
// Origin, Authorization, Cookie, a login form) through every access decision and the static
// file check. The decisions must not read outside their input, and must keep their promises:
// no token is accepted unless it equals a configured one, no file path climbs out of the folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/access.h"
#include "bridge/server.h"

using namespace bridge;

namespace {
// The input is fields separated by NUL bytes: target, Host, Origin, Authorization, Cookie, form.
std::vector<std::string_view> fields(std::string_view input) {
    std::vector<std::string_view> out;
    while (out.size() < 5) {
        size_t nul = input.find('\0');
        out.push_back(input.substr(0, nul));
        input = nul == std::string_view::npos ? std::string_view{} : input.substr(nul + 1);
    }
    out.push_back(input);
    return out;
}

void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto f = fields(input);
    AccessPolicy policy;
    policy.driverToken = "0123456789abcdef0123456789abcdef";
    policy.viewerToken = "fedcba9876543210fedcba9876543210";
    policy.allowHosts = {"robot.local"};
    policy.allowOrigins = {"https://studio.example"};
    policy.ownPorts = {8080, 8765};
    policy.tls = size % 2 == 1;

    Presented presented = presentedToken(f[0], f[3], f[4]);
    Access access = decideAccess(policy, presented);
    if (access == Access::Driver) check(presented.token == policy.driverToken);
    if (access == Access::Viewer) check(presented.token == policy.viewerToken);

    bool hostOk = hostAllowed(policy, f[1]);
    if (hostOk) {
        auto host = parseHost(f[1]);
        check(host && (isIpLiteral(host->host) || host->host == "localhost" || host->host == "robot.local"));
    }
    bool originOk = originAllowed(policy, f[2], f[1]);
    if (originOk && f[2].find_first_not_of(" \t") != std::string_view::npos) {
        auto origin = parseOrigin(f[2]);
        check(origin.has_value());
        check(origin->scheme == "http" || origin->scheme == "https");
    }

    std::string without = targetWithout(f[0], TOKEN_PARAMETER);
    check(!queryValue(without, TOKEN_PARAMETER).has_value());
    (void)formValue(f[5], TOKEN_PARAMETER);
    (void)usableToken(f[5]);
    (void)loginCookie(f[5], policy.tls);

    std::string file = staticFilePath("/w", std::string(f[0]));
    if (!file.empty()) {
        check(file.compare(0, 3, "/w/") == 0);
        check(file.find("/../") == std::string::npos && file.find("\\") == std::string::npos);
        check(file.size() < 3 || file.compare(file.size() - 3, 3, "/..") != 0);
    }
    return 0;
}
