#include <string>

#include <gtest/gtest.h>

#include "download/core/RoutePolicy.h"

namespace {

TEST(RoutePolicy, SchemePortAndProtocols)
{
    const struct {
        const wchar_t *text;
        SERVER_SCHEME scheme;
    } schemes[] = {
        {L"http", SCHEME_HTTP}, {L"HTTP", SCHEME_HTTP}, {L"https", SCHEME_HTTPS}, {L"HttpS", SCHEME_HTTPS},
        {L"", SCHEME_INVALID},  {L"ftp", SCHEME_INVALID}, {L"https:", SCHEME_INVALID}, {L"http s", SCHEME_INVALID},
        {L"httpss", SCHEME_INVALID},
    };
    for (const auto &row : schemes)
        EXPECT_EQ(row.scheme, ParseScheme(row.text)) << std::string(row.text, row.text + wcslen(row.text));

    EXPECT_EQ(80, PortFor(SCHEME_HTTP, 0));
    EXPECT_EQ(443, PortFor(SCHEME_HTTPS, 0));
    EXPECT_EQ(443, PortFor(SCHEME_HTTPS, 65536));
    EXPECT_EQ(8443, PortFor(SCHEME_HTTPS, 8443));
    EXPECT_EQ(81, PortFor(SCHEME_HTTP, 65536 + 81));

    // XP, Vista, 7 and 8.0 ask; 8.1 and 10 keep the system's choice.
    const struct {
        uint32_t major, minor;
        bool asks;
    } versions[] = {{5, 1, true}, {5, 2, true}, {6, 0, true}, {6, 1, true}, {6, 2, true}, {6, 3, false}, {10, 0, false}};
    for (const auto &row : versions)
        EXPECT_EQ(row.asks, AsksForTls12(row.major, row.minor)) << row.major << "." << row.minor;
}

TEST(RoutePolicy, ChooseProxyFollowsTheListAndItsBypass)
{
    const struct {
        const char *label;
        const wchar_t *list;
        const wchar_t *bypass;
        bool secure;
        const wchar_t *host;
        const wchar_t *expected;  // "" for none
    } rows[] = {
        {"one proxy for all", L"proxy:8080", L"", false, L"dl.example", L"proxy:8080"},
        {"one proxy for all, https", L"proxy:8080", NULL, true, L"dl.example", L"proxy:8080"},
        {"per scheme, http", L"http=p1:80;https=p2:443", L"", false, L"dl.example", L"p1:80"},
        {"per scheme, https", L"http=p1:80 https=p2:443", L"", true, L"dl.example", L"p2:443"},
        {"no entry for https", L"http=p1:80;ftp=p3:21", L"", true, L"dl.example", L""},
        {"named beats plain", L"p0:3128;HTTPS=p2:443", L"", true, L"dl.example", L"p2:443"},
        {"scheme prefix dropped", L"http=http://p1:80", L"", false, L"dl.example", L"p1:80"},
        {"socks not spoken", L"socks=s:1080", L"", false, L"dl.example", L""},
        {"empty list", L"", L"", false, L"dl.example", L""},
        {"no list", NULL, NULL, false, L"dl.example", L""},
        {"bypassed by name", L"proxy:8080", L"intranet;DL.EXAMPLE", false, L"dl.example", L""},
        {"bypassed by wildcard", L"proxy:8080", L"*.example, 10.*", false, L"dl.example", L""},
        {"bypassed address", L"proxy:8080", L"10.*", false, L"10.1.2.3", L""},
        {"wildcard in the middle", L"proxy:8080", L"dl*.ex*le", false, L"dl7.example", L""},
        {"wildcard that does not match", L"proxy:8080", L"*.example.org", false, L"dl.example", L"proxy:8080"},
        {"local: a name without a dot", L"proxy:8080", L"<local>", false, L"localhost", L""},
        {"local: not a dotted name", L"proxy:8080", L"<local>", false, L"dl.example", L"proxy:8080"},
        {"bypass entry with a scheme", L"proxy:8080", L"https://dl.example", true, L"dl.example", L""},
        {"bypass entry longer than the host", L"proxy:8080", L"dl.example.org", false, L"dl.example", L"proxy:8080"},
    };
    for (const auto &row : rows) {
        wchar_t proxy[64] = L"untouched";
        bool chosen = ChooseProxy(row.list, row.bypass, row.secure, row.host, proxy, 64);
        EXPECT_EQ(std::wstring(row.expected), chosen ? std::wstring(proxy) : std::wstring()) << row.label;
    }
    wchar_t small[6];
    EXPECT_FALSE(ChooseProxy(L"proxy:8080", L"", false, L"dl.example", small, 6));
}

// Each step: n a try without an answer (the user's settings read for the first time), s one
// after that, a the server's answer, r an answer that is not the package, l one that says
// "later" (the settings read for the first time), L one after that, w a retry. The way after
// each step: D direct, P the user's proxy.
TEST(RoutePolicy, WaysTurnOnlyToOnesNotRefused)
{
    const struct {
        const char *label;
        bool haveProxy;
        const char *steps;
        const char *ways;
    } rows[] = {
        {"no proxy: the direct way throughout", false, "nrw", "DDD"},
        {"no answer: the proxy at once, then the two in turn", true, "nww", "PDP"},
        {"an answer binds the way", true, "naww", "PPPP"},
        {"answered directly: no proxy for a failed try", true, "an", "DD"},
        {"a block page: the proxy at once, and no way back", true, "rww", "PPP"},
        {"refused on both ways: the last stays", true, "rrw", "PPP"},
        {"the proxy refuses the user: direct for the rest", true, "nrww", "PDDD"},
        {"refused directly, no proxy: nothing to turn to", false, "rw", "DD"},
        {"later directly, the proxy silent: direct for good", true, "lswLwLw", "PPDDDDD"},
        {"later on both ways: the two in turn", true, "lLwLw", "PPDDP"},
    };
    for (const auto &row : rows) {
        ROUTE_CHOICE choice = {};
        choice.haveProxy = row.haveProxy;
        std::string ways;
        for (const char *step = row.steps; *step != '\0'; ++step) {
            if (*step != 'w')
                NoteTry(&choice, *step != 'n' && *step != 's');
            if (*step == 'n' || *step == 'l')
                TurnToProxy(&choice);
            else if (*step == 'a')
                choice.answered = true;
            else if (*step == 'r')
                TurnFromRefusal(&choice);
            else if (*step == 'w')
                TurnForRetry(&choice);
            ways += choice.viaProxy ? 'P' : 'D';
        }
        EXPECT_EQ(std::string(row.ways), ways) << row.label;
    }
}

TEST(RoutePolicy, ProxyLogonIsTheUsersOwnOrNone)
{
    const uint32_t basic = 0x1, digest = 0x8;
    const struct {
        uint32_t offered;
        uint32_t scheme;
    } schemes[] = {
        {LOGON_NEGOTIATE | LOGON_NTLM | basic, LOGON_NEGOTIATE},
        {LOGON_NTLM | digest, LOGON_NTLM},
        {basic | digest, 0},
        {0, 0},
    };
    for (const auto &row : schemes)
        EXPECT_EQ(row.scheme, ProxyLogonScheme(row.offered)) << row.offered;
    for (int32_t status : {403, 407, 500, 502, 503, 504, 599})
        EXPECT_TRUE(RefusesRoute(status)) << status;
    for (int32_t status : {200, 206, 302, 401, 404, 416, 0})
        EXPECT_FALSE(RefusesRoute(status)) << status;
    // The host a redirect led to is the one whose route is judged.
    const struct {
        const wchar_t *url;
        const wchar_t *host;  // NULL: does not read
        bool secure;
    } redirects[] = {
        {L"http://intranet.example:8080/LumvexSetup.msi", L"intranet.example", false},
        {L"HTTPS://cdn.example/a?b=c", L"cdn.example", true},
        {L"https://user:pw@cdn.example:443/", L"cdn.example", true},
        {L"http://[::1]:81/x", L"[::1]", false},
        {L"http://cdn.example", L"cdn.example", false},
        {L"/LumvexSetup.msi", NULL, false},
        {L"ftp://cdn.example/x", NULL, false},
        {L"http:///x", NULL, false},
    };
    for (const auto &row : redirects) {
        wchar_t host[64] = L"";
        bool secure = !row.secure;
        const std::wstring url = row.url;
        ASSERT_EQ(row.host != NULL, ReadUrlHost(row.url, &secure, host, 64)) << std::string(url.begin(), url.end());
        if (row.host != NULL) {
            EXPECT_EQ(std::wstring(row.host), host) << std::string(url.begin(), url.end());
            EXPECT_EQ(row.secure, secure) << std::string(url.begin(), url.end());
        }
    }
}

}  // namespace
