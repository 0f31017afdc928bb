#include <map>
#include <string>
#include <vector>

#include <windows.h>
#include <psapi.h>

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
    size_t requests = 1;  // ANY_COUNT: whatever the client makes of it
    const wchar_t *localPath = L"LumvexSetup.msi";
    const wchar_t *pin = L"";
    bool readOnly = false;  // the files of before are read-only
};

const size_t ANY_COUNT = (size_t)-1;

// Every Windows Installer package starts with these bytes.
std::string Msi(const std::string &rest)
{
    return std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + rest;
}

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

FixtureResponse At(const std::string &path, FixtureResponse response)
{
    response.path = path;
    return response;
}

FixtureResponse Cut(FixtureResponse response, size_t cbSent, FIXTURE_ENDING ending)
{
    response.cbSent = cbSent;
    response.ending = ending;
    return response;
}

void PointSettingsAt(const wchar_t *address, unsigned short port, const wchar_t *localPath = L"LumvexSetup.msi",
                     const wchar_t *pin = L"")
{
    lstrcpyW(BootstrapSettings.ServerAddress, address);
    BootstrapSettings.ServerPort = port;
    lstrcpyW(BootstrapSettings.MsiServerPath, L"/LumvexSetup.msi");
    lstrcpyW(BootstrapSettings.MsiLocalPath, localPath);
    lstrcpyW(BootstrapSettings.MsiSha256, pin);
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
    for (const auto &file : row.before) {
        const std::wstring name(file.first.begin(), file.first.end());
        if (file.second == "<dir>")
            CreateDirectoryW(name.c_str(), NULL);
        else
            WriteFileBytes(name.c_str(), file.second);
        if (row.readOnly)
            SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    FixtureServer server(row.responses);
    PointSettingsAt(L"127.0.0.1", server.Port(), row.localPath, row.pin);

    ExpectOutcome(row.outcome, DownloadInstaller());

    EXPECT_EQ(Summarised(row.after), FolderContents());
    if (row.requests != ANY_COUNT) {
        EXPECT_EQ(row.requests, server.Requests().size());
    }
}

TEST(DownloadInstaller, ServerAnswersTable)
{
    const std::string package = Msi(Bytes(3 * 1024 * 1024 + 17, 1));
    const std::string page(512, 'e');
    const std::string ok200 = "HTTP/1.1 200 OK\r\n";
    const TransferRow rows[] = {
        {"a few MiB saved byte for byte", {Respond("200 OK", package)}, SUCCEEDED, {{PACKAGE, package}}},
        {"no length", {Raw(ok200 + "Connection: close\r\n\r\n", "abc")}, FAILED, {}},
        {"chunked", {Raw(ok200 + "Transfer-Encoding: chunked\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n")}, FAILED, {}},
        {"length 0", {Respond("200 OK", "")}, FAILED, {}},
        {"lower-case header name", {Raw(ok200 + "content-length: 3\r\n\r\n", "abc")}, FAILED, {}},
        {"no blank after the colon", {Raw(ok200 + "Content-Length:3\r\n\r\n", "abc")}, FAILED, {}},
        {"Age before Content-Length", {Raw(ok200 + "Age: 99\r\nContent-Length: 11\r\n\r\n", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}},
        {"404 with a body", {Respond("404 Not Found", page)}, FAILED, {}},
        {"500 with a body", {Respond("500 Internal Server Error", page)}, FAILED, {}},
        {"body cut off by a close", {Cut(Respond("200 OK", package), 100000, ENDING_CLOSE)}, FAILED, {}},
        {"connection reset in the body", {Cut(Respond("200 OK", package), 100000, ENDING_RESET)}, FAILED, {}},
        {"redirect followed",
         {Respond("200 OK", Msi("moved"), "/moved.msi"),
          Raw("HTTP/1.1 302 Found\r\nLocation: /moved.msi\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "")},
         SUCCEEDED, {{PACKAGE, Msi("moved")}}, {}, 2},
        {"previous package survives a failed download", {Respond("404 Not Found", page)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}},
        {"previous package survives a cut-off body", {Cut(Respond("200 OK", package), 5000, ENDING_CLOSE)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}},
        {"previous package replaced", {Respond("200 OK", Msi("new"))}, SUCCEEDED, {{PACKAGE, Msi("new")}}, {{PACKAGE, "old"}}},
        {"stale part replaced", {Respond("200 OK", Msi("new"))}, SUCCEEDED, {{PACKAGE, Msi("new")}}, {{PART, "stale"}}},
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// Whatever goes wrong, the folder ends exactly as it was: the package already there included.
TEST(DownloadInstaller, FaultsLeaveTheFolderAsItWas)
{
    const std::string package = Msi(Bytes(1024 * 1024, 2));
    const std::string ok200 = "HTTP/1.1 200 OK\r\n";
    const Files old = {{PACKAGE, "old"}};
    std::string filler;
    while (filler.size() < 64 * 1024)
        filler += "X-Filler-" + std::to_string(filler.size()) + ": " + std::string(100, 'f') + "\r\n";
    TransferRow rows[] = {
        {"reset in the middle of the body", {Cut(Respond("200 OK", package), 300000, ENDING_RESET)}, FAILED, old, old},
        {"64 KiB of headers", {Raw(ok200 + filler + "Content-Length: 11\r\n\r\n", Msi("abc"))}, SUCCEEDED,
         {{PACKAGE, Msi("abc")}}, old},
        {"length of 11 digits", {Raw(ok200 + "Content-Length: 10000000003\r\nConnection: close\r\n\r\n", Msi("abc"))},
         FAILED, old, old},
        {"length that wraps to the body's size",
         {Raw(ok200 + "Content-Length: 4294967307\r\nConnection: close\r\n\r\n", Msi("abc"))}, FAILED, old, old},
        {"two lengths, body of the first", {Raw(ok200 + "Content-Length: 11\r\nContent-Length: 12\r\n\r\n", Msi("abc"))},
         FAILED, old, old},
        {"two lengths, body of the second", {Raw(ok200 + "Content-Length: 10\r\nContent-Length: 11\r\n\r\n", Msi("abc"))},
         FAILED, old, old},
        {"redirect loop",
         {Raw("HTTP/1.1 302 Found\r\nLocation: /LumvexSetup.msi\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "")},
         PLATFORM_ERROR, old, old, ANY_COUNT},
        {"package name in a missing folder", {Respond("200 OK", package)}, FAILED, old, old, 1,
         L"missing\\LumvexSetup.msi"},
        {"package name held by a read-only file", {Respond("200 OK", package)}, FAILED, old, old, 1, L"LumvexSetup.msi",
         L"", true},
        {"package name held by a folder", {Respond("200 OK", package)}, FAILED, {{PACKAGE, "<dir>"}},
         {{PACKAGE, "<dir>"}}},
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// Waits for the client's own receive time-out, about 30 s: one case only.
TEST(DownloadInstaller, SilentServerEndsAtTheClientsTimeOut)
{
    const Files old = {{PACKAGE, "old"}};
    RunRow({"server falls silent in the middle of the body",
            {Cut(Respond("200 OK", Msi(Bytes(1024 * 1024, 3))), 300000, ENDING_STALL)}, FAILED, old, old});
}

TransferRow Checked(const char *label, const wchar_t *localPath, const wchar_t *pin, const std::string &body,
                    OUTCOME outcome, const Files &after)
{
    TransferRow row = {label, {Respond("200 OK", body)}, outcome, after, {{"LumvexSetup.msi", "old"}}};
    row.localPath = localPath;
    row.pin = pin;
    return row;
}

TEST(DownloadInstaller, OnlyTheExpectedPackageTakesItsName)
{
    const std::string portal = "<html><body>Please sign in to the network</body></html>";
    const wchar_t *pinOfMsiAbc = L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9f4";
    const wchar_t *pinOfAbc = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    const Files old = {{PACKAGE, "old"}};
    const TransferRow rows[] = {
        Checked("portal page under a package name", L"LumvexSetup.msi", L"", portal, FAILED, old),
        Checked("package name in capitals", L"LUMVEXSETUP.MSI", L"", portal, FAILED, old),
        Checked("the same page under another name", L"LumvexSetup.exe", L"", portal, SUCCEEDED,
                {{PACKAGE, "old"}, {"LumvexSetup.exe", portal}}),
        Checked("shorter than the signature", L"LumvexSetup.msi", L"", Msi("").substr(0, 5), FAILED, old),
        Checked("pin matches", L"LumvexSetup.msi", pinOfMsiAbc, Msi("abc"), SUCCEEDED, {{PACKAGE, Msi("abc")}}),
        Checked("one byte changed", L"LumvexSetup.msi", pinOfMsiAbc, Msi("abd"), FAILED, old),
        Checked("pin one digit short", L"LumvexSetup.msi", L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9f",
                Msi("abc"), FAILED, old),
        Checked("pin not hexadecimal", L"LumvexSetup.msi", L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9fg",
                Msi("abc"), FAILED, old),
        Checked("pin in capitals on another name", L"LumvexSetup.exe", pinOfAbc, "abc", SUCCEEDED,
                {{PACKAGE, "old"}, {"LumvexSetup.exe", "abc"}}),
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
    FixtureServer server({Respond("200 OK", Msi("ours"))});
    PointSettingsAt(L"127.0.0.1", server.Port());

    EXPECT_EQ(1u, DownloadInstaller());

    CloseHandle(hHeld);
    EXPECT_EQ(Files({{PART, "theirs"}}), FolderContents());
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&counters, sizeof(counters));
    return counters.PrivateUsage;
}

// Bytes in use in every heap of the process: exact where private memory moves in pages.
SIZE_T HeapBytesInUse()
{
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                total += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

DWORD HandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// Hundreds of transfers in one process, over the success path and every failure path: the
// process's handles and private memory come back to where they were.
TEST(DownloadInstaller, NothingLeaksOnAnyPath)
{
    TestFolder folder;
    const std::string ok200 = "HTTP/1.1 200 OK\r\n";
    FixtureServer server({
        Respond("200 OK", Msi(Bytes(200000, 4)), "/ok.msi"),
        Respond("404 Not Found", std::string(512, 'e'), "/missing.msi"),
        At("/chunked.msi", Raw(ok200 + "Transfer-Encoding: chunked\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n")),
        Cut(Respond("200 OK", Msi(Bytes(200000, 5)), "/cut.msi"), 100000, ENDING_CLOSE),
        Cut(Respond("200 OK", Msi(Bytes(200000, 6)), "/reset.msi"), 100000, ENDING_RESET),
        Respond("200 OK", "<html>portal</html>", "/portal.msi"),
        At("/loop.msi", Raw("HTTP/1.1 302 Found\r\nLocation: /loop.msi\r\nContent-Length: 0\r\n\r\n", "")),
    });
    const unsigned short refused = UnusedPort();
    CreateDirectoryW(L"folder.msi", NULL);
    WriteFileBytes(L"readonly.msi", "old");
    SetFileAttributesW(L"readonly.msi", FILE_ATTRIBUTE_READONLY);
    const struct {
        const wchar_t *serverPath;
        const wchar_t *localPath;
        const wchar_t *pin;
        unsigned short port;
    } paths[] = {
        {L"/ok.msi", L"ok.msi", L"", server.Port()},
        {L"/ok.msi", L"pinned.msi", L"0000000000000000000000000000000000000000000000000000000000000000", server.Port()},
        {L"/missing.msi", L"a.msi", L"", server.Port()},
        {L"/chunked.msi", L"a.msi", L"", server.Port()},
        {L"/cut.msi", L"a.msi", L"", server.Port()},
        {L"/reset.msi", L"a.msi", L"", server.Port()},
        {L"/portal.msi", L"a.msi", L"", server.Port()},
        {L"/loop.msi", L"a.msi", L"", server.Port()},
        {L"/ok.msi", L"no-such-folder\\a.msi", L"", server.Port()},
        {L"/ok.msi", L"readonly.msi", L"", server.Port()},
        {L"/ok.msi", L"folder.msi", L"", server.Port()},
        {L"/ok.msi", L"a.msi", L"", refused},
    };
    auto round = [&] {
        for (const auto &path : paths) {
            PointSettingsAt(L"127.0.0.1", path.port, path.localPath, path.pin);
            lstrcpyW(BootstrapSettings.MsiServerPath, path.serverPath);
            const DWORD result = DownloadInstaller();
            EXPECT_EQ(lstrcmpW(path.localPath, L"ok.msi") == 0, result == 0);
        }
        server.WaitIdle();
    };

    // The first rounds load the client and fill its caches.
    for (int i = 0; i < 3; ++i)
        round();
    const DWORD handles = HandleCount();
    const SIZE_T bytes = PrivateBytes();
    const SIZE_T inUse = HeapBytesInUse();
    for (int i = 0; i < 30; ++i)
        round();
    EXPECT_EQ(handles, HandleCount());
    // 360 transfers: the smallest block lost per call (the header text) would add up to ten
    // times this slack for the client's own caches.
    EXPECT_LT((long long)HeapBytesInUse() - (long long)inUse, 4096);
    EXPECT_LT((long long)PrivateBytes() - (long long)bytes, 64 * 1024);
    EXPECT_EQ(Summarised({{"ok.msi", Msi(Bytes(200000, 4))}, {"readonly.msi", "old"}, {"folder.msi", "<dir>"}}),
              FolderContents());
}

}  // namespace
