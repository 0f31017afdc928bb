#include <string>

#include <gtest/gtest.h>

#include "download/core/HostPolicy.h"

namespace {

// The hosts a mirror text lists after the main server, as "host:port" (port 0: the scheme's).
std::string Listed(const std::string &mirrors, bool *valid)
{
    BOOTSTRAP_SETTINGS settings = {L"main", 8080, L"/p.msi", L"p.msi", L"", L"http", L""};
    std::wstring(mirrors.begin(), mirrors.end()).copy(settings.ServerMirrors, SETTINGS_CCH_MIRRORS - 1);
    SERVER_LIST list;
    *valid = ListServers(&settings, &list);
    std::string listed;
    for (uint32_t i = 0; i < list.count; ++i) {
        const std::wstring host = list.servers[i].host;
        listed += (i ? "," : "") + std::string(host.begin(), host.end()) + ":" + std::to_string(list.servers[i].port);
    }
    return listed;
}

TEST(HostPolicy, MirrorsAreReadInTheOrderWrittenOrNotAtAll)
{
    const struct {
        const char *label;
        std::string mirrors;
        bool valid;
        const char *listed;
    } rows[] = {
        {"none", "", true, "main:8080"},
        {"blanks only", " \t ", true, "main:8080"},
        {"one host", "cdn.example", true, "main:8080,cdn.example:0"},
        {"hosts and ports, blanks trimmed", " a.example:81 ,b.example , 10.0.0.1:65535", true,
         "main:8080,a.example:81,b.example:0,10.0.0.1:65535"},
        {"eight", "1,2,3,4,5,6,7,8", true, "main:8080,1:0,2:0,3:0,4:0,5:0,6:0,7:0,8:0"},
        {"nine", "1,2,3,4,5,6,7,8,9", false, "main:8080"},
        {"an empty item", "a,,b", false, "main:8080"},
        {"a trailing comma", "a,", false, "main:8080"},
        {"a leading comma", ",a", false, "main:8080"},
        {"port 0", "a:0", false, "main:8080"},
        {"port beyond 65535", "a:65536", false, "main:8080"},
        {"port beyond 32 bits", "a:4294967377", false, "main:8080"},
        {"an empty port", "a:", false, "main:8080"},
        {"a port with a sign", "a:+81", false, "main:8080"},
        {"no host", ":81", false, "main:8080"},
        {"a blank inside", "a b:81", false, "main:8080"},
        {"a path", "a/b", false, "main:8080"},
        {"two colons", "a:1:2", false, "main:8080"},
        {"a text that fills its field, perhaps cut", std::string(SETTINGS_CCH_MIRRORS - 1, 'a'), false, "main:8080"},
    };
    for (const auto &row : rows) {
        bool valid = !row.valid;
        EXPECT_EQ(row.listed, Listed(row.mirrors, &valid)) << row.label;
        EXPECT_EQ(row.valid, valid) << row.label;
    }
}

TEST(HostPolicy, FindAndPutFirstKeepTheOthersInOrder)
{
    BOOTSTRAP_SETTINGS settings = {L"main", 0, L"/p.msi", L"p.msi", L"", L"http", L"a, b:81, c"};
    SERVER_LIST list;
    ASSERT_TRUE(ListServers(&settings, &list));
    EXPECT_EQ(2, FindServer(&list, L"b", 81));
    EXPECT_EQ(-1, FindServer(&list, L"b", 0));
    EXPECT_EQ(-1, FindServer(&list, L"B", 81));
    PutFirst(&list, 2);
    const wchar_t *order[] = {L"b", L"main", L"a", L"c"};
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::wstring(order[i]), list.servers[i].host) << i;
}

}  // namespace
