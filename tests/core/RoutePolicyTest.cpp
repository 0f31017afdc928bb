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

}  // namespace
