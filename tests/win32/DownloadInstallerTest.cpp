#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include "FixtureServer.h"
#include "ProgramDriver.h"
#include "TestFolder.h"
#include "download/core/PackageTrust.h"
#include "download/core/RetryPolicy.h"
#include "download/Transfer.h"
#include "settings/Settings.h"
#include "ui/BootstrapWindows.h"

// The keys of the signed fixture packages, as a build carrying them would have them.
extern PACKAGE_TRUST TestTrustA, TestTrustAB;

namespace {

const char PACKAGE[] = "LumvexSetup.msi";
const char PART[] = "LumvexSetup.msi.part";
const char STATE[] = "LumvexSetup.msi.resume";

// Retries wait milliseconds here, not seconds; a stall window, a proxy search and the wait for
// a head take seconds.
class ShortRetryWaits : public testing::Environment {
    void SetUp() override { TransferTiming = {10, 1500, 2000, 5000, 0}; }
};
testing::Environment *const shortRetryWaits = testing::AddGlobalTestEnvironment(new ShortRetryWaits);

// What else holds the files a row starts with.
enum HOLD {
    NOTHING,
    READ_ONLY,
    ANOTHER_PROGRAM,  // every one, opened without sharing
    ANOTHER_COPY,     // the .part, as another copy of this program holds it while it downloads
};

enum OUTCOME {
    SUCCEEDED,       // 0
    FAILED,          // 1
    PLATFORM_ERROR,  // the platform's own code: neither 0 nor 1
};

// A further host of a row: its own fixture server, and what it was asked.
struct Mirror {
    std::vector<FixtureResponse> responses;
    std::vector<std::string> asked;
};

struct TransferRow {
    const char *label;
    std::vector<FixtureResponse> responses;
    OUTCOME outcome;
    Files after;
    Files before = {};
    // What each request asked for: "whole", or "<Range> if <If-Range>"; not checked when empty.
    std::vector<std::string> asked = {};
    size_t requests = 1;  // when asked is empty; ANY_COUNT: whatever the client makes of it
    // Set by the modifiers below.
    const wchar_t *localPath = L"LumvexSetup.msi";
    const wchar_t *pin = L"";
    HOLD hold = NOTHING;    // on the files of before
    DWORD msAtLeast = 0;    // the run takes at least this long
    std::vector<Mirror> mirrors = {};
    const char *mirrorText = NULL;  // the ServerMirrors setting, else the mirrors' addresses
    bool mainRefused = false;       // nothing listens at the main server's port
    const PACKAGE_TRUST *trust = NULL;  // the package keys built in; NULL: none
    uint64_t notBefore = 0;
    const wchar_t *scheme = L"http";
    bool absolute = false;  // localPath is taken within the working folder's full path
    const wchar_t *aliasOf = NULL;  // localPath is the 8.3 alias of this file of before
    bool smallVolume = false;       // the working folder is on a volume of 24 MiB
    DWORD msRetrySpan = 0;          // retries without progress go on this long; 0: three retries
};

const size_t ANY_COUNT = (size_t)-1;

// A row and what sets it apart from the plain one.
TransferRow TakingAtLeast(DWORD ms, TransferRow row)
{
    row.msAtLeast = ms;
    return row;
}

TransferRow PinnedTo(const wchar_t *pin, TransferRow row)
{
    row.pin = pin;
    return row;
}

TransferRow SavedAs(const wchar_t *localPath, TransferRow row)
{
    row.localPath = localPath;
    return row;
}

TransferRow WithMirrors(const std::vector<Mirror> &mirrors, TransferRow row)
{
    row.mirrors = mirrors;
    return row;
}

// The mirrors' servers run, but the settings name none: they are only where redirects lead.
TransferRow NotListed(TransferRow row)
{
    row.mirrorText = "";
    return row;
}

TransferRow MainRefused(TransferRow row)
{
    row.mainRefused = true;
    return row;
}

TransferRow Trusting(const PACKAGE_TRUST &trust, TransferRow row, uint64_t notBefore = 0)
{
    row.trust = &trust;
    row.notBefore = notBefore;
    return row;
}

// The local path in the working folder, written out in full from the drive.
TransferRow SavedInFull(const wchar_t *localPath, TransferRow row)
{
    row.localPath = localPath;
    row.absolute = true;
    return row;
}

TransferRow RetryingFor(DWORD ms, TransferRow row)
{
    row.msRetrySpan = ms;
    return row;
}

TransferRow OnSmallVolume(TransferRow row)
{
    row.smallVolume = true;
    return row;
}

// The local path is the short name the system gives that file.
TransferRow SavedAsAliasOf(const wchar_t *name, TransferRow row)
{
    row.aliasOf = name;
    return row;
}

TransferRow WithScheme(const wchar_t *scheme, TransferRow row)
{
    row.scheme = scheme;
    return row;
}

TransferRow Holding(HOLD hold, TransferRow row)
{
    row.hold = hold;
    return row;
}

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

FixtureResponse Times(int times, FixtureResponse response)
{
    response.times = times;
    return response;
}

FixtureResponse Once(FixtureResponse response)
{
    return Times(1, response);
}

void PointSettingsAt(const wchar_t *address, unsigned short port, const wchar_t *localPath = L"LumvexSetup.msi",
                     const wchar_t *pin = L"")
{
    lstrcpyW(BootstrapSettings.ServerAddress, address);
    BootstrapSettings.ServerPort = port;
    lstrcpyW(BootstrapSettings.MsiServerPath, L"/LumvexSetup.msi");
    lstrcpyW(BootstrapSettings.MsiLocalPath, localPath);
    lstrcpyW(BootstrapSettings.MsiSha256, pin);
    lstrcpyW(BootstrapSettings.ServerScheme, L"http");
    lstrcpyW(BootstrapSettings.ServerMirrors, L"");
    ResolvePackagePath();
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

// "sig" for a request of the signature.
std::vector<std::string> Asked(FixtureServer &server)
{
    std::vector<std::string> asked = server.RequestHeaders("Range");
    const std::vector<std::string> ifRange = server.RequestHeaders("If-Range");
    const std::vector<std::string> paths = server.Requests();
    for (size_t i = 0; i < asked.size(); ++i) {
        asked[i] = asked[i].empty() && ifRange[i].empty() ? "whole" : asked[i] + " if " + ifRange[i];
        if (paths[i].size() > 4 && paths[i].compare(paths[i].size() - 4, 4, ".sig") == 0)
            asked[i] = "sig";
    }
    return asked;
}

// The text a run leaves for the next; "{port}" stands for the server's.
std::string StateText(const std::string &path, const std::string &validator, size_t total, size_t received,
                      const std::string &port = "{port}")
{
    return "ServerScheme=http\r\nServerAddress=127.0.0.1\r\nServerPort=" + port + "\r\nMsiServerPath=" + path + "\r\nValidator=" + validator +
           "\r\nTotal=" + std::to_string(total) + "\r\nReceived=" + std::to_string(received) + "\r\n";
}

// The text with "{port}" standing for the main server's port, "{mirror1}" for the first
// mirror's, and so on.
std::string WithPorts(std::string text, const std::vector<std::string> &names, const std::vector<unsigned short> &ports)
{
    for (size_t i = 0; i < names.size(); ++i) {
        if (text.find(names[i]) != std::string::npos)
            text.replace(text.find(names[i]), names[i].size(), std::to_string(ports[i]));
    }
    return text;
}

Files WithPorts(Files files, const std::vector<std::string> &names, const std::vector<unsigned short> &ports)
{
    for (auto &file : files)
        file.second = WithPorts(file.second, names, ports);
    return files;
}

// The tests' HTTPS server (see tls_fixture.py): the folder it serves, as this system sees it.
std::wstring TlsFolder()
{
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA("LUMVEX_TLS_FOLDER", folder, MAX_PATH);
    std::wstring path = L"Z:";
    for (const char *p = folder; *p != '\0'; ++p)
        path += *p == '/' ? L'\\' : (wchar_t)*p;
    return path;
}

void RunRow(const TransferRow &row)
{
    SCOPED_TRACE(row.label);
    TestFolder folder(row.smallVolume ? TlsFolder() + L"\\small-volume\\" : std::wstring());
    std::vector<std::unique_ptr<FixtureServer>> mirrors;
    std::vector<std::string> names = {"{port}"};
    std::vector<unsigned short> ports = {0};
    std::string mirrorText;
    for (const Mirror &mirror : row.mirrors) {
        mirrors.emplace_back(new FixtureServer(mirror.responses));
        names.push_back("{mirror" + std::to_string(mirrors.size()) + "}");
        ports.push_back(mirrors.back()->Port());
        mirrorText += (mirrorText.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(ports.back());
    }
    // The main server's redirects may lead to a mirror.
    std::vector<FixtureResponse> responses = row.responses;
    for (FixtureResponse &response : responses)
        response.head = WithPorts(response.head, names, ports);
    FixtureServer server(responses);
    ports[0] = row.mainRefused ? UnusedPort() : server.Port();
    std::vector<HANDLE> held;
    for (const auto &file : WithPorts(row.before, names, ports)) {
        const std::wstring name = FromUtf8(file.first);
        const std::string &content = file.second;
        if (content == "<dir>")
            CreateDirectoryW(name.c_str(), NULL);
        else if (content.compare(0, 6, "<link:") == 0)
            EXPECT_TRUE(CreateHardLinkW(name.c_str(), FromUtf8(content.substr(6, content.size() - 7)).c_str(), NULL))
                << "a link's file comes before it in the table's order";
        else
            WriteFileBytes(name.c_str(), content);
        if (row.hold == READ_ONLY)
            SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY);
        if (row.hold == ANOTHER_PROGRAM || (row.hold == ANOTHER_COPY && file.first == PART))
            held.push_back(CreateFileW(name.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    }
    std::wstring localPath = row.absolute ? folder.Path() + L"\\" + row.localPath : row.localPath;
    if (row.aliasOf != NULL) {
        wchar_t alias[MAX_PATH] = L"";
        GetShortPathNameW(row.aliasOf, alias, MAX_PATH);
        localPath = alias;
        EXPECT_EQ(L".MSI", localPath.substr(localPath.size() - 4)) << "no 8.3 alias ending in .MSI";
    }
    PointSettingsAt(L"127.0.0.1", ports[0], localPath.c_str(), row.pin);
    lstrcpyW(BootstrapSettings.ServerScheme, row.scheme);
    PackageTrust = row.trust != NULL ? *row.trust : PACKAGE_TRUST{};
    PackageTrust.notBefore = row.notBefore;
    mirrorText = row.mirrorText != NULL ? row.mirrorText : mirrorText;
    std::copy(mirrorText.begin(), mirrorText.end(), BootstrapSettings.ServerMirrors);
    BootstrapSettings.ServerMirrors[mirrorText.size()] = L'\0';

    const DWORD start = GetTickCount();
    TransferTiming.msRetrySpan = row.msRetrySpan;
    ExpectOutcome(row.outcome, DownloadInstaller());
    TransferTiming.msRetrySpan = 0;
    EXPECT_GE(GetTickCount() - start, row.msAtLeast);
    for (HANDLE hHeld : held)
        CloseHandle(hHeld);

    EXPECT_EQ(Summarised(WithPorts(row.after, names, ports)), FolderContents());
    if (row.requests != ANY_COUNT && row.asked.empty()) {
        EXPECT_EQ(row.requests, server.Requests().size());
    }
    if (!row.asked.empty()) {
        EXPECT_EQ(row.asked, Asked(server));
    }
    for (size_t i = 0; i < mirrors.size(); ++i) {
        EXPECT_EQ(row.mirrors[i].asked, Asked(*mirrors[i])) << "mirror " << i + 1;
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
        {"lower-case header name", {Raw(ok200 + "content-length: 11\r\n\r\n", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}},
        {"no blank after the colon", {Raw(ok200 + "Content-Length:11\r\n\r\n", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}},
        {"Age before Content-Length", {Raw(ok200 + "Age: 99\r\nContent-Length: 11\r\n\r\n", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}},
        {"404 with a body", {Respond("404 Not Found", page)}, FAILED, {}},
        // Transient: tried three more times, each from the start (no validator), none getting further.
        {"500 with a body", {Respond("500 Internal Server Error", page)}, FAILED, {}, {}, {}, 4},
        {"body cut off by a close", {Cut(Respond("200 OK", package), 100000, ENDING_CLOSE)}, FAILED, {}, {}, {}, 4},
        // A reset may take unread bytes with it: each try gets as far as it gets.
        {"connection reset in the body", {Cut(Respond("200 OK", package), 100000, ENDING_RESET)}, FAILED, {}, {}, {}, ANY_COUNT},
        // A balancer whose backends are marked down answers 502 for some seconds: outlasted.
        RetryingFor(300, {"a blackout of 502s", {Times(5, Respond("502 Bad Gateway", page)), Respond("200 OK", package)},
                          SUCCEEDED, {{PACKAGE, package}}, {}, {}, 6}),
        // A server too busy to answer, or a middlebox that drops the request.
        {"closed before any answer", {Once(Raw("", "")), Respond("200 OK", package)}, SUCCEEDED, {{PACKAGE, package}}, {}, {}, 2},
        {"reset before any answer", {Once(Cut(Raw("", ""), 0, ENDING_RESET)), Respond("200 OK", package)}, SUCCEEDED,
         {{PACKAGE, package}}, {}, {}, 2},
        // A server is no proxy: the user's logon never goes to it, and the way is refused.
        {"407 from the server itself: asked once, no logon",
         {Raw("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"
              "Content-Length: 0\r\n\r\n", "")},
         FAILED, {}},
        {"redirect followed",
         {Respond("200 OK", Msi("moved"), "/moved.msi"),
          Raw("HTTP/1.1 302 Found\r\nLocation: /moved.msi\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "")},
         SUCCEEDED, {{PACKAGE, Msi("moved")}}, {}, {}, 2},
        {"previous package survives a failed download", {Respond("404 Not Found", page)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}},
        {"previous package survives a cut-off body", {Cut(Respond("200 OK", package), 5000, ENDING_CLOSE)}, FAILED,
         {{PACKAGE, "old"}}, {{PACKAGE, "old"}}, {}, 4},
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
    const std::string large = Msi(Bytes((20 << 20) - 8, 4));
    const Files keptOfLarge = {{PART, large.substr(0, 1 << 20)}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", 20 << 20, 1 << 20)}};
    std::string filler;
    while (filler.size() < 30 * 1024)
        filler += "X-Filler-" + std::to_string(filler.size()) + ": " + std::string(100, 'f') + "\r\n";
    TransferRow rows[] = {
        {"reset in the middle of the body", {Cut(Respond("200 OK", package), 300000, ENDING_RESET)}, FAILED, old, old, {}, ANY_COUNT},
        {"30 KiB of headers", {Raw(ok200 + filler + "Content-Length: 11\r\n\r\n", Msi("abc"))}, SUCCEEDED,
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
         PLATFORM_ERROR, old, old, {}, ANY_COUNT},
        SavedAs(L"missing\\LumvexSetup.msi", {"package name in a missing folder", {Respond("200 OK", package)}, FAILED, old, old}),
        Holding(READ_ONLY, {"package name held by a read-only file", {Respond("200 OK", package)}, FAILED, old, old}),
        Holding(ANOTHER_COPY, {"part held by another copy of the program: its state stays, nothing goes out",
                               {Respond("200 OK", Msi("ours"))}, FAILED, {{PART, "theirs"}, {STATE, "theirs"}},
                               {{PART, "theirs"}, {STATE, "theirs"}}, {}, 0}),
        Holding(ANOTHER_COPY, {"another copy's part and a state that fits", {Respond("200 OK", Msi("ours"))}, FAILED,
                               {{PART, Msi("theirs")}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", 14, 8)}},
                               {{PART, Msi("theirs")}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", 14, 8)}}, {}, 0}),
        // Its checkpoints fail, once each: the download neither stops nor slows for it.
        Holding(ANOTHER_PROGRAM, {"state file held by another program", {Ranged(Msi(Bytes(9 << 20, 9)), "ETag: \"h\"")},
                                  SUCCEEDED, {{PACKAGE, Msi(Bytes(9 << 20, 9))}, {STATE, "theirs"}}, {{STATE, "theirs"}}}),
        {"package name held by a folder: nothing goes out", {Respond("200 OK", package)}, FAILED, {{PACKAGE, "<dir>"}},
         {{PACKAGE, "<dir>"}}, {}, 0},
        // A length the volume cannot hold with 16 MiB to spare costs no byte, however it is announced.
        OnSmallVolume({"4 GiB announced, a body that never ends",
                       {Raw(ok200 + "Content-Length: 4294967295\r\nETag: \"big\"\r\nConnection: close\r\n\r\n",
                            Msi(std::string(1 << 20, '\0')))},
                       FAILED, old, old}),
        OnSmallVolume({"a package that fits with room to spare", {Respond("200 OK", package)}, SUCCEEDED, {{PACKAGE, package}}, old}),
        OnSmallVolume({"a package that would eat into the room to spare", {Respond("200 OK", Msi(Bytes(9 << 20, 3)))}, FAILED,
                       old, old}),
        OnSmallVolume({"kept bytes whose rest does not fit stay as they were", {Ranged(large, "ETag: \"v1\"")}, FAILED,
                       keptOfLarge, keptOfLarge, {"bytes=1048576- if \"v1\""}}),
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// Waits for the client's own receive time-out, about 30 s: one case only.
TEST(DownloadInstaller, SilentServerIsLeftAtTheClientsTimeOutAndTriedAgain)
{
    // The program's own stall window: the client's time-out comes first.
    const TRANSFER_TIMING shortened = TransferTiming;
    TransferTiming.msStallWindow = 60000;
    const std::string package = Msi(Bytes(1024 * 1024, 3));
    RunRow({"server falls silent in the middle of the body",
            {Once(Cut(Respond("200 OK", package), 300000, ENDING_STALL)), Respond("200 OK", package)}, SUCCEEDED,
            {{PACKAGE, package}}, {{PACKAGE, "old"}}, {}, 2});
    TransferTiming = shortened;
}

FixtureResponse Partial(const std::string &body, size_t from, size_t total, const std::string &extra = "")
{
    return Raw("HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" +
                   std::to_string(total) + "\r\n" + extra + "Connection: close\r\n\r\n",
               body);
}

// A byte now and then: the connection stays open but the body would never end.
FixtureResponse Trickle(FixtureResponse response)
{
    response.cbChunk = 64;
    response.msPause = 250;
    return response;
}

// A byte every 0.7 s from the first: the stall window closes before the first eight are in.
FixtureResponse TrickleFromTheFirstByte(FixtureResponse response)
{
    response.cbChunk = 1;
    response.msPause = 700;
    return response;
}

// 1 byte, 1 byte, then 16382 bytes, 0.45 stall windows apart each: the floor in the first
// window, two bytes in the second (as 29 s apart to a minute's window, with room for timing).
FixtureResponse PacedUnderTheFloor(FixtureResponse response)
{
    response.pace = {1, 1, 16382};
    response.msPause = 675;
    return response;
}

// A header line a second, twenty of them: each keeps the client's own time-out from running out.
FixtureResponse HeadTrickle(FixtureResponse response)
{
    std::string filler;
    for (int i = 0; i < 20; ++i)
        filler += "X-Trickle-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
    response.head.insert(response.head.find("\r\n") + 2, filler);
    response.msHeadPause = 1000;
    return response;
}

TEST(DownloadInstaller, BrokenDownloadsAreTriedAgainAndResumed)
{
    const std::string package = Msi(Bytes(1024 * 1024 + 5, 7));
    const std::string changed = Msi(Bytes(1024 * 1024 + 5, 8));
    const size_t total = package.size();
    const std::string etag = "ETag: \"v1\"";
    const std::string date = "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT";
    const std::string range = "bytes=400000- if \"v1\"";
    const FixtureResponse cut = Once(Cut(Ranged(package, etag), 400000, ENDING_CLOSE));
    const FixtureResponse retryLater =
        Once(Raw("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n", ""));
    const Files done = {{PACKAGE, package}};
    // What an earlier run left: 400000 bytes under "v1".
    const Files kept = {{PART, package.substr(0, 400000)}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", total, 400000)}};
    const std::string ignoresRange = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n" + etag +
                                     "\r\nConnection: close\r\n\r\n";
    const std::string weak = "ETag: W/\"v1\"";
    const std::vector<std::string> four = {range, range, range, range};
    const TransferRow rows[] = {
        {"cut, then the rest", {cut, Ranged(package, etag)}, SUCCEEDED, done, {}, {"whole", range}},
        {"Last-Modified stands in for an ETag", {Once(Cut(Ranged(package, date), 400000, ENDING_CLOSE)), Ranged(package, date)},
         SUCCEEDED, done, {}, {"whole", "bytes=400000- if Mon, 07 Dec 2026 10:00:00 GMT"}},
        {"a weak ETag vouches for nothing", {Once(Cut(Ranged(package, weak), 400000, ENDING_CLOSE)), Ranged(package, weak)},
         SUCCEEDED, done, {}, {"whole", "whole"}},
        {"cut every 300000 bytes, getting further each time", {Cut(Ranged(package, etag), 300000, ENDING_CLOSE)}, SUCCEEDED,
         done, {}, {"whole", "bytes=300000- if \"v1\"", "bytes=600000- if \"v1\"", "bytes=900000- if \"v1\""}},
        // Each try ends by the stall rule, having brought 250000 bytes first: that is progress.
        {"silent after every 250000 bytes, getting further each time", {Cut(Ranged(package, etag), 250000, ENDING_STALL)},
         SUCCEEDED, done, {},
         {"whole", "bytes=250000- if \"v1\"", "bytes=500000- if \"v1\"", "bytes=750000- if \"v1\"",
          "bytes=1000000- if \"v1\""}},
        {"range ignored: 200 starts over", {cut, Respond("200 OK", package)}, SUCCEEDED, done, {}, {"whole", range}},
        {"package changed: If-Range no longer holds", {cut, Ranged(changed, "ETag: \"v2\"")}, SUCCEEDED, {{PACKAGE, changed}},
         {}, {"whole", range}},
        {"206 from another offset", {cut, Once(Partial(package.substr(300000), 300000, total)), Ranged(package, etag)},
         SUCCEEDED, done, {}, {"whole", range, "whole"}},
        {"206 of another version, If-Range ignored",
         {cut, Once(Partial(changed.substr(400000), 400000, total, "ETag: \"v2\"\r\n")), Ranged(changed, "ETag: \"v2\"")},
         SUCCEEDED, {{PACKAGE, changed}}, {}, {"whole", range, "whole"}},
        {"416 starts over",
         {cut, Once(Raw("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */9\r\nContent-Length: 0\r\n\r\n", "")),
          Ranged(package, etag)}, SUCCEEDED, done, {}, {"whole", range, "whole"}},
        TakingAtLeast(900, {"503 with Retry-After", {retryLater, Respond("200 OK", package)}, SUCCEEDED, done, {}, {"whole", "whole"}}),
        {"a trickle is left, the rest asked for", {Once(Trickle(Ranged(package, etag))), Ranged(package, etag)}, SUCCEEDED, done,
         {}, {}, 2},
        // The second window brings two bytes: the try ends as it closes, whatever comes later.
        {"paced just under the floor: left as the short window closes, the rest asked for",
         {Once(PacedUnderTheFloor(Ranged(package, etag))), Ranged(package, etag)}, SUCCEEDED, done, {},
         {"whole", "bytes=16386- if \"v1\""}},
        TakingAtLeast(5000, {"a head that trickles in is left at the wait for it",
                             {Once(HeadTrickle(Ranged(package, etag))), Ranged(package, etag)}, SUCCEEDED, done, {}, {"whole", "whole"}}),
        // A server handing out a byte a try would otherwise hold the run for days.
        {"a byte a try uses the retries up",
         {Once(Cut(Ranged(package, etag), 1000, ENDING_CLOSE)), Cut(Ranged(package, etag), 1, ENDING_CLOSE)}, FAILED,
         {{PART, package.substr(0, 1003)}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", total, 1003)}}, {},
         {"whole", "bytes=1000- if \"v1\"", "bytes=1001- if \"v1\"", "bytes=1002- if \"v1\""}},
        // Left before its first bytes are in: nothing of it was kept.
        {"a trickle from the first byte is left too", {Once(TrickleFromTheFirstByte(Ranged(package, etag))), Ranged(package, etag)},
         SUCCEEDED, done, {}, {"whole", "whole"}},
        // What an earlier run left, as it left it.
        {"kept part resumes at the recorded count", {Ranged(package, etag)}, SUCCEEDED, done,
         {{PART, package.substr(0, 400100)}, {STATE, kept.at(STATE)}}, {range}},
        // Kept bytes go only for another version of the package, or once it is whole.
        {"kept bytes outlast a 404", {Respond("404 Not Found", "gone")}, FAILED, kept, kept, {range}},
        {"kept bytes outlast a login page", {Respond("200 OK", "<html>Sign in to the hotel network</html>")}, FAILED, kept, kept,
         {range}},
        {"kept bytes outlast a server that answers nothing", {Raw("", "")}, PLATFORM_ERROR, kept, kept, four},
        PinnedTo(L"9e259920c0bcdf22cfdd71802b9d75c4aa347f8fa76140cb83b15b5ab5835d6",
                 {"kept bytes outlast a pin that does not read, and nothing goes out", {Ranged(package, etag)}, FAILED, kept,
                  kept, {}, 0}),
        WithScheme(L"htp", {"kept bytes outlast a scheme that does not read, and nothing goes out", {Ranged(package, etag)},
                            FAILED, kept, kept, {}, 0}),
        WithScheme(L"HTTP", {"the scheme in capitals is the same: kept bytes resume", {Ranged(package, etag)}, SUCCEEDED, done,
                             kept, {range}}),
        {"range ignored, our version named: read past the kept bytes", {Raw(ignoresRange, package)}, SUCCEEDED, done, kept,
         {range}},
        {"range ignored, our version, cut before the kept count", {Cut(Raw(ignoresRange, package), 200000, ENDING_CLOSE)}, FAILED,
         kept, kept, four},
        {"another version replaces them", {Respond("200 OK", changed)}, SUCCEEDED, {{PACKAGE, changed}}, kept, {range}},
        // If-Range ignored: a 206 that does not repeat the ETag may be another version's rest.
        {"the rest naming no ETag is not spliced on", {Once(Partial(changed.substr(400000), 400000, total)),
                                                       Respond("200 OK", changed)},
         SUCCEEDED, {{PACKAGE, changed}}, kept, {range, "whole"}},
        // The retries are used up by then: another version's first bytes start the count again.
        {"502s, then another version cut short: it is resumed",
         {Times(3, Respond("502 Bad Gateway", "later")), Once(Cut(Ranged(changed, "ETag: \"v2\""), 100000, ENDING_CLOSE)),
          Ranged(changed, "ETag: \"v2\"")},
         SUCCEEDED, {{PACKAGE, changed}}, kept, {range, range, range, range, "bytes=100000- if \"v2\""}},
        // The retries are used up by then: the answer says what to ask for, and costs none.
        {"502s, then a range answered for another length: everything asked for at once",
         {Times(3, Respond("502 Bad Gateway", "later")), Once(Partial(package.substr(400000) + "x", 400000, total + 1)),
          Respond("200 OK", package)},
         SUCCEEDED, done, kept, {range, range, range, range, "whole"}},
        {"kept part from another path", {Ranged(package, etag)}, SUCCEEDED, done,
         {{PART, package.substr(0, 400000)}, {STATE, StateText("/Other.msi", "\"v1\"", total, 400000)}}, {"whole"}},
        {"state that does not parse", {Ranged(package, etag)}, SUCCEEDED, done,
         {{PART, package.substr(0, 400000)}, {STATE, kept.at(STATE) + "Received=4x\r\n"}}, {"whole"}},
        {"state counts more than the part holds", {Ranged(package, etag)}, SUCCEEDED, done,
         {{PART, package.substr(0, 1000)}, {STATE, kept.at(STATE)}}, {"whole"}},
        {"kept bytes that are no package", {Ranged(package, etag)}, SUCCEEDED, done,
         {{PART, std::string(400000, 'x')}, {STATE, kept.at(STATE)}}, {"whole"}},
        // Another program can give a file a second name: nothing is written or cut through it.
        {"the part another file's second name, its state counting 4 bytes", {Ranged(package, etag)}, SUCCEEDED,
         {{PACKAGE, package}, {"Diary.txt", "the user's diary"}},
         {{"Diary.txt", "the user's diary"}, {PART, "<link:Diary.txt>"}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", total, 4)}},
         {"whole"}},
        {"the part another file's second name, its state counting none", {Ranged(package, etag)}, SUCCEEDED,
         {{PACKAGE, package}, {"Diary.txt", "the user's diary"}},
         {{"Diary.txt", "the user's diary"}, {PART, "<link:Diary.txt>"}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", total, 0)}},
         {"whole"}},
        {"the state's new name another file's second name", {cut, Ranged(package, etag)}, SUCCEEDED,
         {{PACKAGE, package}, {"Diary.txt", "the user's diary"}},
         {{"Diary.txt", "the user's diary"}, {"LumvexSetup.msi.resume.new", "<link:Diary.txt>"}}, {"whole", range}},
        PinnedTo(L"9e259920c0bcdf22cfdd71802b9d75c4aa347f8fa76140cb83b15b5ab5835d63",  // of package
                 {"the rest of another package under the same ETag fails the pin, then its whole", {Ranged(changed, etag)},
                  FAILED, {{PACKAGE, "old"}}, {{PACKAGE, "old"}, {PART, package.substr(0, 400000)}, {STATE, kept.at(STATE)}},
                  {range, "whole"}}),
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// Each host its own fixture server: "{mirror1}" is the first mirror's port.
TEST(DownloadInstaller, MirrorsServeWhenTheMainServerCannot)
{
    const std::string package = Msi(Bytes(1024 * 1024, 17));
    const size_t total = package.size();
    const std::string etag = "ETag: \"v1\"";
    const std::string range = "bytes=400000- if \"v1\"";
    const FixtureResponse cut = Once(Cut(Ranged(package, etag), 400000, ENDING_CLOSE));
    const FixtureResponse gone = Respond("404 Not Found", "gone");
    const Files done = {{PACKAGE, package}};
    TransferRow invalid = {"a mirror list that does not read: nothing goes out", {Respond("200 OK", package)}, FAILED, {}, {},
                           {}, 0};
    invalid.mirrorText = "127.0.0.1:81,,127.0.0.1:82";
    const TransferRow rows[] = {
        MainRefused(WithMirrors({{{gone}, {"whole"}}, {{Respond("200 OK", package)}, {"whole"}}},
                                {"main refused, first mirror 404, second serves", {}, SUCCEEDED, done, {}, {}, ANY_COUNT})),
        WithMirrors({{{Ranged(package, "ETag: \"m\"")}, {range}}},
                    {"cut on the main server; a mirror of another ETag starts over", {cut, gone}, SUCCEEDED, done, {},
                     {"whole", range}}),
        PinnedTo(L"79b722b56fb8a2feb6b83a4d8b58e9071f0069fa966dad5a4c31fec085b334d1",  // of package
                 WithMirrors({{{Ranged(package, "ETag: \"m\"")}, {"bytes=400000- if "}}},
                             {"cut on the main server; pinned, a mirror of another ETag continues", {cut, gone}, SUCCEEDED, done,
                              {}, {"whole", range}})),
        // The kept bytes were another version's: the mirror's rest fails the pin with them, its whole passes.
        PinnedTo(L"79b722b56fb8a2feb6b83a4d8b58e9071f0069fa966dad5a4c31fec085b334d1",  // of package
                 WithMirrors({{{Ranged(package, "ETag: \"m\"")}, {"bytes=400000- if ", "whole"}}},
                             {"cut on the main server serving another version; pinned, the mirror is asked for all",
                              {Once(Cut(Ranged(Msi(Bytes(1024 * 1024, 18)), etag), 400000, ENDING_CLOSE)), gone}, SUCCEEDED,
                              done, {}, {"whole", range}})),
        WithMirrors({{{Ranged(package, etag)}, {range}}},
                    {"the next run starts at the mirror the kept bytes came from", {Respond("200 OK", package)}, SUCCEEDED,
                     done, {{PART, package.substr(0, 400000)},
                            {STATE, StateText("/LumvexSetup.msi", "\"v1\"", total, 400000, "{mirror1}")}}, {}, 0}),
        WithMirrors({{{Respond("200 OK", package)}, {}}}, invalid),
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// The state one run writes is the one the next run reads.
TEST(DownloadInstaller, NextRunResumesWhereACutRunStopped)
{
    TestFolder folder;
    const std::string package = Msi(Bytes(1024 * 1024, 11));
    FixtureResponse unavailable = Raw("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", "");
    unavailable.times = 3;
    FixtureServer server({Once(Cut(Ranged(package, "ETag: \"v1\""), 400000, ENDING_CLOSE)), unavailable,
                          Ranged(package, "ETag: \"v1\"")});
    PointSettingsAt(L"127.0.0.1", server.Port());

    EXPECT_EQ(1u, DownloadInstaller());
    Files kept = FolderContents();
    EXPECT_EQ(Summarised({{PART, package.substr(0, 400000)}})[PART], kept[PART]);
    EXPECT_EQ(1u, kept.count(STATE));

    EXPECT_EQ(0u, DownloadInstaller());
    EXPECT_EQ(Summarised({{PACKAGE, package}}), FolderContents());
    const std::vector<std::string> asked = {"whole", "bytes=400000- if \"v1\"", "bytes=400000- if \"v1\"",
                                            "bytes=400000- if \"v1\"", "bytes=400000- if \"v1\""};
    EXPECT_EQ(asked, Asked(server));
}

TEST(DownloadInstaller, OnlyTheExpectedPackageTakesItsName)
{
    const std::string portal = "<html><body>Please sign in to the network</body></html>";
    const wchar_t *pinOfMsiAbc = L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9f4";
    const std::wstring longName = std::wstring(240, L'n') + L".msi";
    const wchar_t *pinInCapitals = L"2631E1ACD0F5FCAFF595B673B159E56E05C62A153447C46161FED47DDE24D9F4";
    const Files old = {{PACKAGE, "old"}};
    const TransferRow rows[] = {
        {"portal page under a package name", {Respond("200 OK", portal)}, FAILED, old, old},
        SavedAs(L"LUMVEXSETUP.MSI", {"package name in capitals", {Respond("200 OK", portal)}, FAILED, old, old}),
        {"shorter than the signature", {Respond("200 OK", Msi("").substr(0, 5))}, FAILED, old, old},
        PinnedTo(pinOfMsiAbc, {"pin matches", {Respond("200 OK", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}, old}),
        PinnedTo(pinOfMsiAbc, {"one byte changed", {Respond("200 OK", Msi("abd"))}, FAILED, old, old}),
        PinnedTo(L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9f",
                 {"pin one digit short: nothing goes out", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        PinnedTo(L"2631e1acd0f5fcaff595b673b159e56e05c62a153447c46161fed47dde24d9fg",
                 {"pin not hexadecimal: nothing goes out", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        PinnedTo(pinInCapitals, {"pin in capitals", {Respond("200 OK", Msi("abc"))}, SUCCEEDED, {{PACKAGE, Msi("abc")}}, old}),
        // The local path names the package's own file: another file, a share or a device is never
        // read, deleted or written, and nothing goes out.
        SavedAs(L"movie.iso", {"another program's download and its part", {Respond("200 OK", Msi("abc"))}, FAILED,
                               {{"movie.iso", "film"}, {"movie.iso.part", "half"}}, {{"movie.iso", "film"}, {"movie.iso.part", "half"}},
                               {}, 0}),
        SavedAs(L"LumvexSetup", {"no extension, and a program of that name beside it", {Respond("200 OK", Msi("abc"))}, FAILED,
                                 {{"LumvexSetup.exe", "MZ"}}, {{"LumvexSetup.exe", "MZ"}}, {}, 0}),
        SavedAs(L"\\\\127.0.0.1\\share\\LumvexSetup.msi", {"a share", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        SavedAs(L"NUL.msi", {"a device", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        SavedAs(L"LumvexSetup.msi:x.msi", {"a stream of the package", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        SavedAs(longName.c_str(), {"a full path with no room for the package's own files", {Respond("200 OK", Msi("abc"))},
                                   FAILED, old, old, {}, 0}),
        SavedAs(L"sub\\pkg.MSI", {"a folder of the working folder, the name in capitals", {Respond("200 OK", Msi("abc"))},
                                  SUCCEEDED, {{"sub", "<dir>"}, {"sub\\pkg.MSI", Msi("abc")}}, {{"sub", "<dir>"}}}),
        SavedInFull(L"pkg.msi", {"a path from the drive", {Respond("200 OK", Msi("abc"))}, SUCCEEDED, {{"pkg.msi", Msi("abc")}}}),
        // The name as Windows reads it: an 8.3 alias ending in .MSI may stand for another file.
        SavedAsAliasOf(L"victim.msix", {"the short name of another kind of file", {Respond("200 OK", Msi("abc"))}, FAILED,
                                        {{"victim.msix", "mine"}}, {{"victim.msix", "mine"}}, {}, 0}),
        SavedAsAliasOf(L"quarterly report.msi_old", {"the short name of a file whose name goes on after .msi",
                                                     {Respond("200 OK", Msi("abc"))}, FAILED,
                                                     {{"quarterly report.msi_old", "mine"}},
                                                     {{"quarterly report.msi_old", "mine"}}, {}, 0}),
        SavedAs(L"%HOMEPATH%.msi", {"a variable the shell would read", {Respond("200 OK", Msi("abc"))}, FAILED, old, old, {}, 0}),
        SavedAs(L"Lumvex\u6E38\u620F\u5B89\u88C5\u5305.msi", {"a name in Chinese", {Respond("200 OK", Msi("abc"))}, SUCCEEDED,
                                                          {{"Lumvex\xE6\xB8\xB8\xE6\x88\x8F\xE5\xAE\x89\xE8\xA3\x85\xE5\x8C\x85.msi", Msi("abc")}}}),
    };
    for (const TransferRow &row : rows)
        RunRow(row);
}

// What the signing script made (see signed_fixture.py): the package, another one of the same
// length, and their signatures.
std::string SignedFile(const char *name)
{
    return ReadFileBytes((BesideTests(L"signed\\") + std::wstring(name, name + strlen(name))).c_str());
}

FixtureResponse Signature(const std::string &text)
{
    return Respond("200 OK", text, "/LumvexSetup.msi.sig");
}

// The last bytes a little under a stall window apart: the last one ends the body in a window
// that brought too little, and the body is judged whole.
FixtureResponse LastByteAsTheWindowCloses(FixtureResponse response)
{
    response.cbTail = 2;
    response.msTail = 1400;
    return response;
}

// The head a line every 0.7 s: longer than a stall window, shorter than the wait for a head.
FixtureResponse SlowHead(FixtureResponse response)
{
    response.msHeadPause = 700;
    return response;
}

TEST(DownloadInstaller, OnlyThePublishersPackageOpens)
{
    const std::string package = SignedFile("LumvexSetup.msi");
    const std::string other = SignedFile("Other.msi");
    const std::string good = SignedFile("a.sig");
    std::string garbled = good;
    garbled[garbled.size() - 10] = garbled[garbled.size() - 10] == '0' ? '1' : '0';
    const std::string etag = "ETag: \"v1\"";
    const FixtureResponse cut = Once(Cut(Ranged(package, etag), 400000, ENDING_CLOSE));
    const Files old = {{PACKAGE, "old"}};
    const Files done = {{PACKAGE, package}};
    const std::string wholeState = "ServerScheme=http\r\nServerAddress=127.0.0.1\r\nServerPort={port}\r\nMsiServerPath=/"
                                   "LumvexSetup.msi\r\nValidator=\r\nTotal=600000\r\nReceived=600000\r\n";
    const std::string cdn = "HTTP/1.1 302 Found\r\nContent-Length: 0\r\nLocation: http://127.0.0.1:{mirror1}/cdn/";
    const std::string otherSha256 = SignedFile("Other.sha256");
    const std::wstring pin(otherSha256.begin(), otherSha256.end());
    const wchar_t *pinOfOther = pin.c_str();
    const TransferRow rows[] = {
        Trusting(TestTrustA, {"signed by the key built in", {Signature(good), Respond("200 OK", package)}, SUCCEEDED, done, old,
                              {"sig", "whole"}}),
        Trusting(TestTrustAB, {"rotation: signed by the second key", {Signature(SignedFile("b.sig")), Respond("200 OK", package)},
                               SUCCEEDED, done, old, {"sig", "whole"}}),
        Trusting(TestTrustAB, {"rotation: the first key still signs", {Signature(good), Respond("200 OK", package)}, SUCCEEDED,
                               done, old, {"sig", "whole"}}),
        // No good signature: no byte of the package is asked for.
        Trusting(TestTrustA, {"signed by a key not built in", {Signature(SignedFile("c.sig")), Respond("200 OK", package)},
                              FAILED, old, old, {"sig"}}),
        Trusting(TestTrustA, {"signed for another name", {Signature(SignedFile("other-name.sig")), Respond("200 OK", package)},
                              FAILED, old, old, {"sig"}}),
        Trusting(TestTrustA, {"signed before the oldest time taken", {Signature(SignedFile("old.sig")), Respond("200 OK", package)},
                              FAILED, old, old, {"sig"}}, 1500000000),
        Trusting(TestTrustA, {"signed late enough", {Signature(good), Respond("200 OK", package)}, SUCCEEDED, done, old,
                              {"sig", "whole"}}, 1800000000),
        Trusting(TestTrustA, {"a signature garbled", {Signature(garbled), Respond("200 OK", package)}, FAILED, old, old, {"sig"}}),
        Trusting(TestTrustA, {"1 MiB of garbage as the signature", {Signature(Bytes(1 << 20, 5)), Respond("200 OK", package)},
                              FAILED, old, old, {"sig"}}),
        Trusting(TestTrustA, {"no signature", {Respond("200 OK", package)}, FAILED, old, old, {"sig"}}),
        Trusting(TestTrustA, {"the package changed after signing: asked again once", {Signature(good), Respond("200 OK", other)},
                              FAILED, old, old, {"sig", "whole", "sig", "whole"}}),
        Trusting(TestTrustA, {"changed, and signed again by the time it is asked again",
                              {Once(Signature(good)), Signature(SignedFile("changed.sig")), Respond("200 OK", other)},
                              SUCCEEDED, {{PACKAGE, other}}, old, {"sig", "whole", "sig", "whole"}}),
        // A planted settings file names another server and that server's package as the pin.
        PinnedTo(pinOfOther, Trusting(TestTrustA, {"another server, its own package pinned", {Respond("200 OK", other)}, FAILED,
                                                   old, old, {"sig"}})),
        PinnedTo(pinOfOther, Trusting(TestTrustA, {"a pin and a signature of two packages",
                                                   {Signature(good), Respond("200 OK", package)}, FAILED, old, old, {"sig"}})),
        // The gate: every check over the whole body, whatever way it came.
        PinnedTo(pinOfOther, {"pinned: the last byte as the stall window closes", {LastByteAsTheWindowCloses(Respond("200 OK", package))},
                              FAILED, old, old, {"whole"}}),
        Trusting(TestTrustA, {"signed: the last byte as the stall window closes",
                              {Signature(good), LastByteAsTheWindowCloses(Respond("200 OK", other))}, FAILED, old, old,
                              {"sig", "whole", "sig", "whole"}}),
        PinnedTo(pinOfOther, {"a whole part left by an earlier run that fails the pin", {Respond("200 OK", other)}, SUCCEEDED,
                              {{PACKAGE, other}}, {{PART, package}, {STATE, wholeState}}, {"whole"}}),
        Trusting(TestTrustA, {"a whole part left by an earlier run that fails the signature",
                              {Signature(good), Respond("200 OK", package)}, SUCCEEDED, done,
                              {{PART, other}, {STATE, wholeState}}, {"sig", "whole"}}),
        Trusting(TestTrustA, {"a whole part left by an earlier run, signed: only named", {Signature(good)}, SUCCEEDED, done,
                              {{PART, package}, {STATE, wholeState}}, {"sig"}}),
        // Its head takes longer than a stall window: the body's minutes count from the head.
        Trusting(TestTrustA, {"a signature whose head is slow", {SlowHead(Signature(good)), Respond("200 OK", package)},
                              SUCCEEDED, done, old, {"sig", "whole"}}),
        // The signature came after the retries ran out, naming another length than the kept
        // bytes': the body that replaces them starts the count again, and its cut is retried.
        Trusting(TestTrustA, {"kept bytes of another version, the signature late, the new body cut",
                              {Times(3, Respond("502 Bad Gateway", "later", "/LumvexSetup.msi.sig")), Signature(good),
                               Once(Cut(Respond("200 OK", package), 100000, ENDING_CLOSE)), Respond("200 OK", package)},
                              SUCCEEDED, done,
                              {{PART, Msi(Bytes(700000, 21)).substr(0, 400000)},
                               {STATE, StateText("/LumvexSetup.msi", "\"v0\"", Msi(Bytes(700000, 21)).size(), 400000)}},
                              {"sig", "sig", "sig", "sig", "whole", "whole"}}),
        Trusting(TestTrustA, {"kept bytes outlast a missing signature", {Ranged(package, etag)}, FAILED,
                              {{PART, package.substr(0, 400000)}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", 600000, 400000)}},
                              {{PART, package.substr(0, 400000)}, {STATE, StateText("/LumvexSetup.msi", "\"v1\"", 600000, 400000)}},
                              {"sig"}}),
        // Mirrors: each host's own signature, asked before its package.
        Trusting(TestTrustA, WithMirrors({{{Signature(good), Respond("200 OK", package)}, {"sig", "whole"}}},
                                         {"a bad signature on the main server, a good one on a mirror",
                                          {Signature(SignedFile("c.sig")), Respond("200 OK", package)}, SUCCEEDED, done, old,
                                          {"sig"}})),
        // Each request on a connection of its own: the signature's redirect moves not the package's.
        Trusting(TestTrustA, NotListed(WithMirrors({{{Respond("200 OK", good, "/cdn/LumvexSetup.msi.sig"),
                                                       Respond("200 OK", package, "/cdn/LumvexSetup.msi")}, {"sig", "whole"}}},
                                                     {"the signature and the package each redirected to a CDN",
                                                      {At("/LumvexSetup.msi.sig", Raw(cdn + "LumvexSetup.msi.sig\r\n\r\n", "")),
                                                       Raw(cdn + "LumvexSetup.msi\r\n\r\n", "")},
                                                      SUCCEEDED, done, old, {"sig", "whole"}}))),
        Trusting(TestTrustA, WithMirrors({{{Signature(good), Ranged(package, "ETag: \"m\"")}, {"sig", "bytes=400000- if "}}},
                                         {"cut on the main server, the rest from a mirror under the signature",
                                          {Signature(good), cut, Respond("404 Not Found", "gone")}, SUCCEEDED, done, {},
                                          {"sig", "whole", "bytes=400000- if \"v1\""}})),
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

// The user's Internet settings as the system keeps them, for one test; "direct" again after.
// Every test of the prefix reads them: the tests that change them run alone (named UserProxy...).
class UserProxySettings {
public:
    // clientsOwn: the proxy is the client's own, kept for the machine as its configuration tool
    // keeps it, and the user's settings say "direct".
    UserProxySettings(DWORD flags, const std::string &proxy, const std::string &bypass, const std::string &script,
                      bool clientsOwn = false)
        : clientsOwn_(clientsOwn)
    {
        Write(clientsOwn ? 1 : flags, clientsOwn ? "" : proxy, clientsOwn ? "" : bypass, script);
        if (clientsOwn)
            WriteClientsOwn(proxy, bypass);
    }
    ~UserProxySettings()
    {
        Write(1, "", "", "");
        if (clientsOwn_)
            WriteClientsOwn("", "");
    }

private:
    bool clientsOwn_;

    // The client's own settings, as its configuration tool keeps them for the machine.
    static void WriteClientsOwn(const std::string &proxy, const std::string &bypass)
    {
        WriteValue(HKEY_LOCAL_MACHINE, L"WinHttpSettings", 0x18, 0, proxy.empty() ? 1 : 2, {&proxy, &bypass});
    }

    static void Write(DWORD flags, const std::string &proxy, const std::string &bypass, const std::string &script)
    {
        WriteValue(HKEY_CURRENT_USER, L"DefaultConnectionSettings", 0x46, 1, flags, {&proxy, &bypass, &script});
    }

    // Both layouts: three numbers (the flags 1 direct, 2 a fixed proxy, 4 a script), then
    // length-prefixed texts.
    static void WriteValue(HKEY hRoot, const wchar_t *name, DWORD magic, DWORD counter, DWORD flags,
                           std::initializer_list<const std::string *> texts)
    {
        std::string value;
        auto put = [&value](DWORD number) { value.append((const char *)&number, sizeof(number)); };
        put(magic);
        put(counter);
        put(flags);
        for (const std::string *text : texts) {
            put((DWORD)text->size());
            value += *text;
        }
        HKEY hKey;
        RegCreateKeyExW(hRoot, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                        NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL);
        RegSetValueExW(hKey, name, 0, REG_BINARY, (const BYTE *)value.data(), (DWORD)value.size());
        RegCloseKey(hKey);
    }
};

// The package only comes through the user's proxy, which sees the request in absolute form: nothing
// answers at localhost, or something on the direct way answers with what is not the package.
TEST(DownloadInstaller, UserProxyServesWhenTheDirectRouteFails)
{
    const std::string package = Msi(Bytes(300000, 13));
    const std::string page = "<html>This site is blocked by your organisation</html>";
    const std::string logon = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\n"
                              "Proxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n";
    const std::string basic = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"corp\"\r\n"
                              "Content-Length: 0\r\n\r\n";
    const struct {
        const char *label;
        DWORD flags;
        const char *bypass;
        bool script;
        std::vector<FixtureResponse> proxyAnswers;
        OUTCOME outcome;
        std::vector<std::string> requests;  // as the proxy saw them, target standing for the package's URL
        bool endless = false;               // the script never returns
        std::vector<FixtureResponse> direct = {};  // what answers at localhost; none: nothing
        bool clientsOwn = false;            // the proxy is the client's own, not the user's
    } rows[] = {
        {"fixed proxy", 3, "", false, {Respond("200 OK", package)}, SUCCEEDED, {"target"}},
        {"bypass that does not match", 3, "*.example;10.*", false, {Respond("200 OK", package)}, SUCCEEDED, {"target"}},
        {"bypassed: a name without a dot", 3, "<local>", false, {Respond("200 OK", package)}, PLATFORM_ERROR, {}},
        {"proxy script", 5, "", true, {Respond("200 OK", package)}, SUCCEEDED, {"/proxy.pac", "target"}},
        // The user's own logon, asked for once; this client sends none of its own without a domain,
        // so the proxy says 407 again and the direct way takes the remaining tries.
        {"proxy asks for the user's logon", 3, "", false, {Raw(logon, "")}, PLATFORM_ERROR, {"target", "target"}},
        {"proxy takes the user's logon", 3, "", false, {Once(Raw(logon, "")), Respond("200 OK", package)}, SUCCEEDED,
         {"target", "target"}},
        {"proxy asks for a password", 3, "", false, {Raw(basic, "")}, PLATFORM_ERROR, {"target"}},
        // The client's own proxy is on the way too: the logon is asked for once, as above.
        {"the client's own proxy asks for the user's logon", 3, "", false, {Raw(logon, "")}, FAILED, {"target", "target"},
         false, {}, true},
        {"block page on the direct way", 3, "", false, {Respond("200 OK", package)}, SUCCEEDED, {"target"}, false,
         {Respond("200 OK", page)}},
        {"refused on the direct way", 3, "", false, {Respond("200 OK", package)}, SUCCEEDED, {"target"}, false,
         {Respond("403 Forbidden", page)}},
        {"refused on both ways", 3, "", false, {Respond("403 Forbidden", page)}, FAILED, {"target"}, false,
         {Respond("403 Forbidden", page)}},
        // Last: its script goes on running on a thread of this test's process.
        {"proxy script that never ends", 5, "", true, {Respond("200 OK", package)}, PLATFORM_ERROR, {"/proxy.pac"}, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder folder;
        FixtureServer proxy(row.proxyAnswers);
        FixtureServer direct(row.direct);
        const unsigned short port = row.direct.empty() ? UnusedPort() : direct.Port();
        const std::string address = "127.0.0.1:" + std::to_string(proxy.Port());
        FixtureServer scripted({Respond("200 OK", row.endless ? "function FindProxyForURL(url, host) { for (;;) {} }"
                                                              : "function FindProxyForURL(url, host) { return \"PROXY " +
                                                                    address + "\"; }")});
        UserProxySettings settings(row.flags, row.script ? "" : address, row.bypass,
                                   row.script ? "http://127.0.0.1:" + std::to_string(scripted.Port()) + "/proxy.pac" : "",
                                   row.clientsOwn);
        PointSettingsAt(L"localhost", port);

        const DWORD start = GetTickCount();
        ExpectOutcome(row.outcome, DownloadInstaller());
        // Whatever the script does, the search is given up after its time (here 2 s).
        EXPECT_LT(GetTickCount() - start, 20000u);
        EXPECT_EQ(row.outcome == SUCCEEDED ? Summarised({{PACKAGE, package}}) : Files(), FolderContents());
        std::vector<std::string> seen = scripted.Requests();
        const std::string target = "http://localhost:" + std::to_string(port) + "/LumvexSetup.msi";
        for (const std::string &request : proxy.Requests())
            seen.push_back(request == target ? "target" : request);
        EXPECT_EQ(row.requests, seen);
        EXPECT_EQ(row.direct.empty() ? 0u : 1u, direct.Requests().size());
    }
}

// The lines of the HTTPS server's log that end in path (in the proxy's absolute form or not):
// the requests it answered for it.
size_t TlsRequestsFor(const std::string &path)
{
    const std::string log = ReadFileBytes((TlsFolder() + L"\\server.log").c_str());
    size_t count = 0;
    for (size_t at = log.find(path + "\n"); at != std::string::npos; at = log.find(path + "\n", at + 1))
        ++count;
    return count;
}

// The client's own proxy is on the way, but the demand for a logon comes from a server: from
// inside the tunnel the proxy opened, or from a host a redirect led to that the proxy does not
// take. The user's logon goes to neither: the demand is answered by nothing and refuses the way.
TEST(DownloadInstaller, UserProxyLogonGoesOnlyToAProxyWhateverCameFirst)
{
    const std::wstring folder = TlsFolder();
    const unsigned short tls = (unsigned short)atoi(ReadFileBytes((folder + L"\\port").c_str()).c_str());
    ASSERT_NE(0, tls);
    const std::string logon = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\n"
                              "Proxy-Authenticate: NTLM\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    WriteFileBytes((folder + L"\\www\\Logon.msi.answer").c_str(), logon);
    FixtureServer asks({Raw(logon, "")});
    FixtureServer tunnel({Tunnel(tls)});
    FixtureServer redirects({Raw("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(asks.Port()) +
                                     "/LumvexSetup.msi\r\nContent-Length: 0\r\n\r\n", "")});
    const struct {
        const char *label;
        FixtureServer *proxy;
        const char *bypass;  // of the client's own proxy
        const wchar_t *scheme;
        const wchar_t *address;
        unsigned short port;
        const wchar_t *path;
    } rows[] = {
        {"a server inside the proxy's tunnel", &tunnel, "", L"https", L"localhost", tls, L"/Logon.msi"},
        {"a host the proxy's redirect led to, which the proxy does not take", &redirects, "127.0.0.1", L"http",
         L"127.0.0.2", 80, L"/LumvexSetup.msi"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder here;
        UserProxySettings settings(3, "127.0.0.1:" + std::to_string(row.proxy->Port()), row.bypass, "", true);
        PointSettingsAt(row.address, row.port);
        lstrcpyW(BootstrapSettings.ServerScheme, row.scheme);
        lstrcpyW(BootstrapSettings.MsiServerPath, row.path);
        const size_t asked = asks.Requests().size() + TlsRequestsFor("/Logon.msi");
        EXPECT_NE(0u, DownloadInstaller());
        EXPECT_EQ(Files(), FolderContents());
        EXPECT_EQ(1u, row.proxy->Requests().size());
        // Asked once, and never again with a logon.
        EXPECT_EQ(asked + 1, asks.Requests().size() + TlsRequestsFor("/Logon.msi"));
    }
    DeleteFileW((folder + L"\\www\\Logon.msi.answer").c_str());
}

// At home with the office's proxy still set: one failure on the direct route must not bind
// the run to a proxy that is not there.
// Neither way has answered yet: the tries go the two ways in turn. No answers: nothing
// listens there.
TEST(DownloadInstaller, UserProxyAndDirectRouteAlternateUntilOneAnswers)
{
    const std::string package = Msi(Bytes(300000, 15));
    const FixtureResponse later = Once(Respond("502 Bad Gateway", "later"));
    const FixtureResponse closed = Once(Raw("", ""));
    const struct {
        const char *label;
        std::vector<FixtureResponse> direct, proxy;
        size_t askedDirect, askedProxy;
    } rows[] = {
        {"no answer directly: the proxy, then direct again", {closed, Respond("200 OK", package)}, {}, 2, 0},
        // A balancer's blackout: the way that says "later" is the one that will answer.
        {"502s directly, the proxy silent: direct for the rest", {later, later, later, Respond("200 OK", package)}, {}, 4, 0},
        // The retries ran out on the direct way: the proxy still gets its last try.
        {"each way gets a try after the retries ran out", {}, {closed, closed, Respond("200 OK", package)}, 0, 3},
    };
    for (const auto &row : rows) {
        TestFolder folder;
        FixtureServer direct(row.direct);
        FixtureServer proxy(row.proxy);
        const unsigned short proxyPort = row.proxy.empty() ? UnusedPort() : proxy.Port();
        UserProxySettings settings(3, "127.0.0.1:" + std::to_string(proxyPort), "", "");
        PointSettingsAt(L"localhost", row.direct.empty() ? UnusedPort() : direct.Port());

        EXPECT_EQ(0u, DownloadInstaller()) << row.label;
        EXPECT_EQ(Summarised({{PACKAGE, package}}), FolderContents()) << row.label;
        EXPECT_EQ(row.askedDirect, direct.Requests().size()) << row.label;
        EXPECT_EQ(row.askedProxy, proxy.Requests().size()) << row.label;
    }
}

// Stands in for the progress bar: when it shows 100 %, the old package is opened without
// sharing, as its own running installer or a virus scan would hold it.
class HoldPackageWhenWhole {
public:
    HoldPackageWhenWhole()
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(NULL);
        windowClass.lpszClassName = L"LumvexTestBar";
        RegisterClassW(&windowClass);
        BootstrapWindows.hProgressBar = CreateWindowW(L"LumvexTestBar", L"", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    }
    ~HoldPackageWhenWhole()
    {
        DestroyWindow(BootstrapWindows.hProgressBar);
        BootstrapWindows.hProgressBar = NULL;
        Release();
    }
    static void Release()
    {
        if (hHeld != INVALID_HANDLE_VALUE)
            CloseHandle(hHeld);
        hHeld = INVALID_HANDLE_VALUE;
    }

private:
    static LRESULT CALLBACK Procedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == PBM_SETPOS && wParam == 100 && hHeld == INVALID_HANDLE_VALUE)
            hHeld = CreateFileW(L"LumvexSetup.msi", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
    static HANDLE hHeld;
};
HANDLE HoldPackageWhenWhole::hHeld = INVALID_HANDLE_VALUE;

// A verified download that cannot take its name is not thrown away: the next run names it
// without asking the server again.
TEST(DownloadInstaller, PackageHeldAtTheRenameIsKeptForTheNextRun)
{
    TestFolder folder;
    const std::string package = Msi(Bytes(300000, 16));
    WriteFileBytes(L"LumvexSetup.msi", "old");
    FixtureServer server({Respond("200 OK", package)});
    PointSettingsAt(L"127.0.0.1", server.Port());
    {
        HoldPackageWhenWhole hold;
        EXPECT_EQ(1u, DownloadInstaller());
    }
    const Files kept = FolderContents();
    EXPECT_EQ(Summarised({{PART, package}})[PART], kept.count(PART) ? kept.at(PART) : "");
    EXPECT_EQ("old", kept.count(PACKAGE) ? kept.at(PACKAGE) : "");

    EXPECT_EQ(0u, DownloadInstaller());
    EXPECT_EQ(Summarised({{PACKAGE, package}}), FolderContents());
    EXPECT_EQ(1u, server.Requests().size());
}

TEST(DownloadInstaller, HttpsServersAndRedirectsToThem)
{
    const std::wstring folder = TlsFolder();
    const unsigned short tls = (unsigned short)atoi(ReadFileBytes((folder + L"\\port").c_str()).c_str());
    ASSERT_NE(0, tls);
    const std::string package = SignedFile("LumvexSetup.msi");
    WriteFileBytes((folder + L"\\www\\LumvexSetup.msi").c_str(), package);
    WriteFileBytes((folder + L"\\www\\LumvexSetup.msi.sig").c_str(), SignedFile("a.sig"));
    const std::string moved = "HTTP/1.1 301 Moved Permanently\r\nLocation: https://localhost:" + std::to_string(tls);
    FixtureServer plain({At("/LumvexSetup.msi.sig", Raw(moved + "/LumvexSetup.msi.sig\r\nContent-Length: 0\r\n\r\n", "")),
                         Raw(moved + "/LumvexSetup.msi\r\nContent-Length: 0\r\n\r\n", "")});
    const struct {
        const char *label;
        const wchar_t *scheme;
        const wchar_t *address;
        unsigned short port;
        OUTCOME outcome;
        const PACKAGE_TRUST *trust;  // the package keys built in; NULL: none
    } rows[] = {
        {"https", L"https", L"localhost", tls, SUCCEEDED, NULL},
        {"scheme in capitals", L"HTTPS", L"localhost", tls, SUCCEEDED, NULL},
        {"certificate for another name", L"https", L"127.0.0.1", tls, PLATFORM_ERROR, NULL},
        {"plain server redirects to https", L"http", L"127.0.0.1", plain.Port(), SUCCEEDED, NULL},
        // Each request on a connection of its own: the signature's redirect moves not the package's.
        {"plain server redirects the signature and the package to https", L"http", L"127.0.0.1", plain.Port(), SUCCEEDED,
         &TestTrustA},
        {"neither http nor https", L"ftp", L"127.0.0.1", plain.Port(), FAILED, NULL},
        {"empty scheme", L"", L"127.0.0.1", plain.Port(), FAILED, NULL},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder here;
        PointSettingsAt(row.address, row.port);
        lstrcpyW(BootstrapSettings.ServerScheme, row.scheme);
        PackageTrust = row.trust != NULL ? *row.trust : PACKAGE_TRUST{};
        ExpectOutcome(row.outcome, DownloadInstaller());
        EXPECT_EQ(row.outcome == SUCCEEDED ? Summarised({{PACKAGE, package}}) : Files(), FolderContents());
    }
    // Only the redirects reached the plain server: no other scheme ever goes out unprotected.
    EXPECT_EQ(3u, plain.Requests().size());
}

// The port of one of the fixture's nginx and Apache servers (see tls_fixture.py); 0: none.
unsigned short RealServer(const std::string &name)
{
    const std::string list = ReadFileBytes((TlsFolder() + L"\\real-servers").c_str());
    size_t at = list.find(name + "=");
    return at == std::string::npos ? 0 : (unsigned short)atoi(list.c_str() + at + name.size() + 1);
}

// With package keys, from the servers publishers run: their redirects come with a page of their
// own, and the signature's redirect moves not the package's request.
TEST(DownloadInstaller, ServersPublishersRunServeThroughTheirRedirects)
{
    const std::string package = SignedFile("LumvexSetup.msi");
    const struct {
        const char *label;
        const char *server;
    } rows[] = {
        {"nginx: a 302 and a 301, each with its page, to another path", "nginx-chain"},
        {"Apache: a 302 with its page", "apache"},
        {"nginx: http to https", "nginx-to-tls"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder here;
        const unsigned short port = RealServer(row.server);
        ASSERT_NE(0, port);
        PointSettingsAt(L"127.0.0.1", port);
        PackageTrust = TestTrustA;
        EXPECT_EQ(0u, DownloadInstaller());
        EXPECT_EQ(Summarised({{PACKAGE, package}}), FolderContents());
    }
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
        At("/ranged.msi", Cut(Ranged(Msi(Bytes(200000, 12)), "ETag: \"r\""), 120000, ENDING_CLOSE)),
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
        {L"/ranged.msi", L"ranged.msi", L"", server.Port()},
    };
    auto round = [&] {
        for (const auto &path : paths) {
            PointSettingsAt(L"127.0.0.1", path.port, path.localPath, path.pin);
            lstrcpyW(BootstrapSettings.MsiServerPath, path.serverPath);
            const DWORD result = DownloadInstaller();
            EXPECT_EQ(lstrcmpW(path.localPath, L"ok.msi") == 0 || lstrcmpW(path.localPath, L"ranged.msi") == 0, result == 0);
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
    // 390 transfers: the smallest block lost per call (the header text) would add up to ten
    // times this slack for the client's own caches.
    EXPECT_LT((long long)HeapBytesInUse() - (long long)inUse, 4096);
    EXPECT_LT((long long)PrivateBytes() - (long long)bytes, 64 * 1024);
    EXPECT_EQ(Summarised({{"ok.msi", Msi(Bytes(200000, 4))}, {"ranged.msi", Msi(Bytes(200000, 12))}, {"readonly.msi", "old"},
                          {"folder.msi", "<dir>"}}),
              FolderContents());
}

}  // namespace
