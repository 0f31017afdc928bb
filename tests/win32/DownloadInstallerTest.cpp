#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FixtureServer.h"
#include "TestFolder.h"
#include "download/Transfer.h"
#include "settings/Settings.h"

namespace {

const char PACKAGE[] = "LumvexSetup.msi";
const char PART[] = "LumvexSetup.msi.part";

enum OUTCOME {
    SUCCEEDED,       // 0
    FAILED,          // 1
    PLATFORM_ERROR,  // the platform's own code: neither 0 nor 1
};

struct TransferRow {
    const char *label;
    std::vector<FixtureResponse> responses;
    OUTCOME outcome;
    Files after;
    Files before = {};
    size_t requests = 1;
};

std::string Bytes(size_t cb, unsigned seed)
{
    std::string bytes(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = (char)(seed >> 16);
    }
    return bytes;
}

FixtureResponse Raw(const std::string &head, const std::string &body)
{
    FixtureResponse response;
    response.head = head;
    response.body = body;
    return response;
}

FixtureResponse Cut(FixtureResponse response, size_t cbSent, FIXTURE_ENDING ending)
{
    response.cbSent = cbSent;
    response.ending = ending;
    return response;
}

void PointSettingsAt(const wchar_t *address, unsigned short port)
{
    lstrcpyW(BootstrapSettings.ServerAddress, address);
    BootstrapSettings.ServerPort = port;
    lstrcpyW(BootstrapSettings.MsiServerPath, L"/LumvexSetup.msi");
    lstrcpyW(BootstrapSettings.MsiLocalPath, L"LumvexSetup.msi");
}

void ExpectOutcome(OUTCOME outcome, DWORD result)
{
    if (outcome == SUCCEEDED)
        EXPECT_EQ(0u, result);
    else if (outcome == FAILED)
        EXPECT_EQ(1u, result);
    else
        EXPECT_TRUE(result != 0 && result != 1) << "result " << result;
}

void RunRow(const TransferRow &row)
{
    SCOPED_TRACE(row.label);
    TestFolder folder;
    for (const auto &file : row.before)
        WriteFileBytes(std::wstring(file.first.begin(), file.first.end()).c_str(), file.second);
    FixtureServer server(row.responses);
    PointSettingsAt(L"127.0.0.1", server.Port());

    ExpectOutcome(row.outcome, DownloadInstaller());

    EXPECT_EQ(Summarised(row.after), FolderContents());
    EXPECT_EQ(row.requests, server.Requests().size());
}

TEST(DownloadInstaller, ServerAnswersTable)
{
    const std::string package = Bytes(3 * 1024 * 1024 + 17, 1);
    const std::string page(512, 'e');
    const std::string ok200 = "HTTP/1.1 200 OK\r\n";
    const TransferRow rows[] = {
        {"a few MiB saved byte for byte", {Respond("200 OK", package)}, SUCCEEDED, {{PACKAGE, package}}},
        {"no length", {Raw(ok200 + "Connection: close\r\n\r\n", "abc")}, FAILED, {}},
        {"chunked", {Raw(ok200 + "Transfer-Encoding: chunked\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n")}, FAILED, {}},
        {"length 0", {Respond("200 OK", "")}, FAILED, {}},
        {"lower-case header name", {Raw(ok200 + "content-length: 3\r\n\r\n", "abc")}, FAILED, {}},
        {"no blank after the colon", {Raw(ok200 + "Content-Length:3\r\n\r\n", "abc")}, FAILED, {}},
        {"Age before Content-Length", {Raw(ok200 + "Age: 99\r\nContent-Length: 3\r\n\r\n", "abc")}, SUCCEEDED, {{PACKAGE, "abc"}}},
        {"404 with a body", {Respond("404 Not Found", page)}, FAILED, {}},
        {"500 with a body", {Respond("500 Internal Server Error", page)}, FAILED, {}},
        {"body cut off by a close", {Cut(Respond("200 OK", package), 100000, ENDING_CLOSE)}, FAILED, {}},
        {"connection reset in the body", {Cut(Respond("200 OK", package), 100000, ENDING_RESET)}, FAILED, {}},
        {"redirect followed",
         {Respond("200 OK", "moved", "/moved.msi"),
          Raw("HTTP/1.1 302 Found\r\nLocation: /moved.msi\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "")},
         SUCCEEDED, {{PACKAGE, "moved"}}, {}, 2},
        {"previous package survives a failed download", {Respond("404 Not Found", page)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}},
        {"previous package survives a cut-off body", {Cut(Respond("200 OK", package), 5000, ENDING_CLOSE)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}},
        {"previous package replaced", {Respond("200 OK", "new")}, SUCCEEDED, {{PACKAGE, "new"}}, {{PACKAGE, "old"}}},
        {"stale part replaced", {Respond("200 OK", "new")}, SUCCEEDED, {{PACKAGE, "new"}}, {{PART, "stale"}}},
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

TEST(DownloadInstaller, UnreachableServerGivesThePlatformCode)
{
    const struct {
        const char *label;
        const wchar_t *address;
        unsigned short port;
    } rows[] = {
        {"refused connection", L"127.0.0.1", UnusedPort()},
        {"empty address", L"", 80},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder folder;
        PointSettingsAt(row.address, row.port);
        ExpectOutcome(PLATFORM_ERROR, DownloadInstaller());
        EXPECT_EQ(Files(), FolderContents());
    }
}

TEST(DownloadInstaller, PartHeldByAnotherCopyIsLeftAlone)
{
    TestFolder folder;
    WriteFileBytes(L"LumvexSetup.msi.part", "theirs");
    HANDLE hHeld = CreateFileW(L"LumvexSetup.msi.part", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    FixtureServer server({Respond("200 OK", "ours")});
    PointSettingsAt(L"127.0.0.1", server.Port());

    EXPECT_EQ(1u, DownloadInstaller());

    CloseHandle(hHeld);
    EXPECT_EQ(Files({{PART, "theirs"}}), FolderContents());
}

}  // namespace
