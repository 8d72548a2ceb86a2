// Who gets in: the token a request presents and the role it gives, the Host names the bridge
// answers to, and the Origins whose pages may open the WebSocket.
#include <gtest/gtest.h>

#include "bridge/access.h"

using namespace bridge;

namespace {

const std::string DRIVER = "d0d0d0d0d0d0d0d0d0d0d0d0d0d0d0d0";
const std::string VIEWER = "v1v1v1v1v1v1v1v1v1v1v1v1v1v1v1v1";

AccessPolicy guarded() {
    AccessPolicy policy;
    policy.driverToken = DRIVER;
    policy.viewerToken = VIEWER;
    policy.allowHosts = {"robot.local"};
    policy.allowOrigins = {"https://studio.example"};
    policy.ownPorts = {8080, 8765};
    return policy;
}

TEST(Access, TokenAndRoleDecisions) {
    struct Row {
        const char* what;
        bool tokenConfigured;
        std::string target, authorization, cookie;
        Access expected;
    };
    const Row rows[] = {
        {"no token configured: everyone drives", false, "/ws", "", "", Access::Driver},
        {"no token configured, a wrong one presented", false, "/ws?token=nope", "", "", Access::Driver},
        {"nothing presented", true, "/ws", "", "", Access::Refused},
        {"empty query token", true, "/ws?token=", "", "", Access::Refused},
        {"wrong query token", true, "/ws?token=wrong", "", "", Access::Refused},
        {"driver token in the query", true, "/ws?token=" + DRIVER, "", "", Access::Driver},
        {"driver token among other parameters", true, "/?a=1&token=" + DRIVER + "&b=2", "", "", Access::Driver},
        {"driver token percent-encoded", true, "/?token=%64" + DRIVER.substr(1), "", "", Access::Driver},
        {"viewer token in the query", true, "/ws?token=" + VIEWER, "", "", Access::Viewer},
        {"a prefix of the driver token", true, "/ws?token=" + DRIVER.substr(0, 31), "", "", Access::Refused},
        {"the driver token and more", true, "/ws?token=" + DRIVER + "0", "", "", Access::Refused},
        {"driver token as bearer", true, "/ws", "Bearer " + DRIVER, "", Access::Driver},
        {"viewer token as bearer, any case", true, "/ws", "bEaReR  " + VIEWER + " ", "", Access::Viewer},
        {"basic authorization", true, "/ws", "Basic " + DRIVER, "", Access::Refused},
        {"bearer without a token", true, "/ws", "Bearer ", "", Access::Refused},
        {"driver token in the cookie", true, "/ws", "", "theme=dark; halvoran_token=" + DRIVER, Access::Driver},
        {"viewer token in a quoted cookie", true, "/ws", "", "halvoran_token=\"" + VIEWER + "\"", Access::Viewer},
        {"token in a cookie of another name", true, "/ws", "", "xhalvoran_token=" + DRIVER, Access::Refused},
        {"a wrong query token is not saved by a right cookie", true, "/ws?token=bad", "",
         "halvoran_token=" + DRIVER, Access::Refused},
        {"a wrong bearer is not saved by a right cookie", true, "/ws", "Bearer bad", "halvoran_token=" + DRIVER,
         Access::Refused},
        {"the query before the header", true, "/ws?token=" + VIEWER, "Bearer " + DRIVER, "", Access::Viewer},
        {"token after the fragment does not count", true, "/ws#token=" + DRIVER, "", "", Access::Refused},
    };
    for (const Row& row : rows) {
        AccessPolicy policy = guarded();
        if (!row.tokenConfigured) policy = AccessPolicy{};
        EXPECT_EQ(decideAccess(policy, presentedToken(row.target, row.authorization, row.cookie)), row.expected)
            << row.what;
    }
}

TEST(Access, WithoutAViewerTokenAnEmptyOneIsNoRole) {
    AccessPolicy policy = guarded();
    policy.viewerToken.clear();
    EXPECT_EQ(decideAccess(policy, {TokenSource::Query, ""}), Access::Refused);
    EXPECT_EQ(decideAccess(policy, {TokenSource::Query, VIEWER}), Access::Refused);
}

TEST(Access, SameSecretComparesEveryByteAndTheLength) {
    EXPECT_TRUE(sameSecret("abc", "abc"));
    EXPECT_TRUE(sameSecret("", ""));
    using namespace std::string_view_literals;
    for (std::string_view other : {"abd"sv, "xbc"sv, "ab"sv, "abcd"sv, ""sv, "ab\0"sv})
        EXPECT_FALSE(sameSecret("abc", other)) << other;
    EXPECT_FALSE(sameSecret("abc", std::string_view("abc\0", 4)));
}

TEST(Access, UsableTokens) {
    EXPECT_TRUE(usableToken(DRIVER));
    EXPECT_TRUE(usableToken(std::string(512, 'a')));
    for (std::string bad : {std::string(15, 'a'), std::string(513, 'a'), DRIVER + " x", DRIVER + ";", DRIVER + ",",
                            DRIVER + "\"", DRIVER + "\\", DRIVER + "\x7f", DRIVER + "\xc3\xa9"})
        EXPECT_FALSE(usableToken(bad)) << bad;
}

TEST(Access, QueryAndFormParsing) {
    EXPECT_EQ(queryValue("/a?token=x%2By+z", "token"), "x+y z");
    EXPECT_EQ(queryValue("/a?token", "token"), "");
    EXPECT_EQ(queryValue("/a?tokens=1", "token"), std::nullopt);
    EXPECT_EQ(queryValue("/a", "token"), std::nullopt);
    EXPECT_EQ(queryValue("/a?token=%zz", "token"), std::nullopt);
    EXPECT_EQ(queryValue("/a?token=%4", "token"), std::nullopt);
    EXPECT_EQ(formValue("user=x&token=abc%3D", "token"), "abc=");
    EXPECT_EQ(cookieValue("a=1;halvoran_token=t;b=2", "halvoran_token"), "t");
    EXPECT_EQ(cookieValue("a=1", "halvoran_token"), std::nullopt);
    EXPECT_EQ(bearerToken("Bearer"), std::nullopt);
    EXPECT_EQ(bearerToken("Bearerabc"), std::nullopt);
}

TEST(Access, TheLoginTakesTheTokenOutOfTheAddress) {
    struct Row {
        const char* target;
        const char* without;
    };
    const Row rows[] = {
        {"/?token=abc", "/"},
        {"/?token=abc&ws=x", "/?ws=x"},
        {"/?ws=x&token=abc", "/?ws=x"},
        {"/?a=1&token=abc&token=def&b=2", "/?a=1&b=2"},
        {"/index.html?tok%65n=abc", "/index.html"},
        {"/?tokens=1", "/?tokens=1"},
        {"/?token=abc#frag", "/"},
    };
    for (const Row& row : rows) EXPECT_EQ(targetWithout(row.target, "token"), row.without) << row.target;
    std::string cookie = loginCookie(DRIVER, false);
    EXPECT_EQ(cookie.rfind("halvoran_token=" + DRIVER + ";", 0), 0u);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookie.find("Secure"), std::string::npos);
    EXPECT_NE(loginCookie(DRIVER, true).find("; Secure"), std::string::npos);
}

TEST(Access, HostDecisions) {
    struct Row {
        const char* host;
        bool allowed;
    };
    const Row rows[] = {
        {"127.0.0.1", true},
        {"127.0.0.1:8080", true},
        {"192.168.1.20:8765", true},
        {"[::1]:8080", true},
        {"[fe80::1]", true},
        {"localhost:8080", true},
        {"LocalHost", true},
        {"robot.local:8080", true},
        {"ROBOT.local", true},
        {"", false},
        {"evil.example", false},
        {"evil.example:8080", false},
        {"robot.local.evil.example", false},
        {"1.2.3.4.evil.example", false},
        {"256.1.1.1", false},
        {"1.2.3", false},
        {"127.0.0.1:99999", false},
        {"127.0.0.1:", false},
        {"127.0.0.1:80x", false},
        {"[::1", false},
        {"[evil]", false},
        {"robot.local@evil.example", false},
        {"robot.local/x", false},
    };
    for (const Row& row : rows) EXPECT_EQ(hostAllowed(guarded(), row.host), row.allowed) << row.host;
    AccessPolicy any = guarded();
    any.allowHosts = {"*"};
    EXPECT_TRUE(hostAllowed(any, "evil.example"));
    EXPECT_FALSE(hostAllowed(any, "bad host"));
}

TEST(Access, OriginDecisions) {
    struct Row {
        const char* origin;
        const char* host;
        bool tls;
        bool allowed;
    };
    const Row rows[] = {
        {"", "robot.local:8765", false, true},  // a native tool
        {"http://robot.local:8080", "robot.local:8080", false, true},
        {"http://robot.local:8080", "robot.local:8765", false, true},  // the dashboard to the WebSocket port
        {"http://ROBOT.local:8080/", "robot.local:8765", false, true},
        {"http://192.168.1.20:8080", "192.168.1.20:8080", false, true},
        {"http://robot.local", "robot.local", false, true},
        {"https://robot.local:8080", "robot.local:8080", true, true},
        {"https://robot.local", "robot.local", true, true},
        {"https://studio.example", "robot.local:8765", false, true},  // listed
        {"https://studio.example:443", "robot.local:8765", false, true},
        {"http://studio.example", "robot.local:8765", false, false},  // listed with https only
        {"http://robot.local:8080", "robot.local:8080", true, false},  // a plain page on a TLS bridge
        {"https://robot.local:8080", "robot.local:8080", false, false},
        {"http://robot.local:9999", "robot.local:8765", false, false},  // another server on the robot
        {"http://evil.example", "robot.local:8765", false, false},
        {"http://evil.example:8765", "evil.example:8765", false, true},  // same origin: the Host check guards this
        {"http://robot.local.evil.example:8080", "robot.local:8080", false, false},
        {"null", "robot.local:8080", false, false},
        {"file://", "robot.local:8080", false, false},
        {"http://robot.local:8080/path", "robot.local:8080", false, false},
        {"http://user@robot.local:8080", "robot.local:8080", false, false},
        {"http://robot.local:8080", "", false, false},
    };
    for (const Row& row : rows) {
        AccessPolicy policy = guarded();
        policy.tls = row.tls;
        EXPECT_EQ(originAllowed(policy, row.origin, row.host), row.allowed) << row.origin << " to " << row.host;
    }
    AccessPolicy any = guarded();
    any.allowOrigins = {"*"};
    EXPECT_TRUE(originAllowed(any, "http://evil.example", "robot.local"));
}

}  // namespace
