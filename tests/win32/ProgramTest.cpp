// The real program under Wine, driven from outside against the loopback server.
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "FixtureServer.h"
#include "ProgramDriver.h"
#include "TestFolder.h"

namespace {

// The package type's open program, for the tests: one that records what it was given, one with
// no open program at all, or the system's installer.
const wchar_t RECORDED[] = L"LumvexTest.Package";
const wchar_t NO_PROGRAM[] = L"LumvexTest.NoProgram";
const wchar_t SYSTEM_INSTALLER[] = L"Msi.Package";

void SetClassValue(const wchar_t *key, const std::wstring &value)
{
    HKEY hKey;
    // The classes root itself: this Wine does not merge the user's classes into it.
    RegCreateKeyExW(HKEY_CLASSES_ROOT, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL);
    RegSetValueExW(hKey, NULL, 0, REG_SZ, (const BYTE *)value.c_str(), (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(hKey);
}

// ".msi" opens with the given program; the tests that change it hold ctest's lock on the type.
void OpenPackagesWith(const wchar_t *type)
{
    SetClassValue(L"LumvexTest.Package\\shell\\open\\command", L"\"" + BesideTests(L"record_open.exe") + L"\" \"%1\"");
    SetClassValue(L"LumvexTest.NoProgram", L"A package type with no open program");
    SetClassValue(L".msi", type);
}

// Every Windows Installer package starts with these bytes.
std::string Msi(const std::string &rest)
{
    return std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + rest;
}

// Every setting named: whatever defaults a publisher built in, the program asks the fixture.
void WriteSettings(unsigned short port, const std::string &localPath)
{
    WriteFileBytes(L"LumvexInstallerConfig.ini", "ServerScheme=http\r\nServerAddress = 127.0.0.1\r\nServerPort=" +
                                                     std::to_string(port) + "\r\nMsiServerPath=/LumvexSetup.msi\r\n"
                                                     "MsiLocalPath=" + localPath + "\r\nMsiSha256=\r\n");
}

std::wstring RecordedOpen()
{
    if (GetFileAttributesW(L"opened.txt") == INVALID_FILE_ATTRIBUTES)
        return L"";
    std::string bytes = ReadFileBytes(L"opened.txt");
    return std::wstring((const wchar_t *)bytes.data(), bytes.size() / sizeof(wchar_t));
}

// The shell starts the file type's program without waiting for it: wait for its record. It
// was handed the package in the working folder by its full path, never a name to search for.
void ExpectOpened(const std::wstring &name)
{
    EXPECT_TRUE(WaitUntil([] { return !RecordedOpen().empty(); }, 10000));
    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    EXPECT_EQ(std::wstring(folder) + L"\\" + name, RecordedOpen());
}

FixtureResponse Gated(FixtureResponse response)
{
    response.gated = true;
    return response;
}

FixtureResponse Once(FixtureResponse response)
{
    response.times = 1;
    return response;
}

// 640 KiB/s: a few seconds for a few MiB.
FixtureResponse Slow(FixtureResponse response)
{
    response.cbChunk = 64 * 1024;
    response.msPause = 100;
    return response;
}

class ProgramTest : public testing::Test {
protected:
    void SetUp() override { OpenPackagesWith(RECORDED); }
    void TearDown() override { OpenPackagesWith(SYSTEM_INSTALLER); }

    // A server with these answers, and the settings that point the program at it.
    void Serve(std::vector<FixtureResponse> responses, const std::string &localPath = "package.msi")
    {
        program.reset();
        server.reset(new FixtureServer(std::move(responses)));
        WriteSettings(server->Port(), localPath);
    }

    // Starts the program (see Program) and waits for its main window; NULL when none came.
    HWND StartProgram(int showCommand = -1, const std::wstring &exe = std::wstring())
    {
        program.reset(new Program(showCommand, exe));
        return program->WaitForWindow(L"LumvexInstaller");
    }

    TestFolder folder;  // declared first: the program, then its server, end before it goes
    std::unique_ptr<FixtureServer> server;
    std::unique_ptr<Program> program;
};

TEST_F(ProgramTest, StartsWithTheWindowAndControlsInPlace)
{
    Serve({Gated(Respond("200 OK", Msi("package")))});
    HWND hMain = StartProgram();
    ASSERT_NE((HWND)NULL, hMain);
    EXPECT_EQ(L"Lumvex游戏", WindowText(hMain));
    RECT place = PlaceOf(hMain);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - 460) / 2, place.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - 140) / 2, place.top);
    EXPECT_EQ(460, place.right - place.left);
    EXPECT_EQ(140, place.bottom - place.top);
    EXPECT_EQ((LONG)WS_OVERLAPPEDWINDOW, GetWindowLongW(hMain, GWL_STYLE) & WS_OVERLAPPEDWINDOW);

    Controls controls = ControlsOf(hMain);
    const struct {
        const char *label;
        HWND hWnd;
        RECT place;
        LONG style;
    } rows[] = {
        {"status field", controls.hStatusText, {30, 30, 170, 51}, WS_CHILD | WS_VISIBLE | ES_READONLY},
        {"size field", controls.hSizeText, {250, 30, 410, 51}, WS_CHILD | WS_VISIBLE | ES_READONLY},
        {"progress bar", controls.hProgressBar, {30, 60, 410, 77}, WS_CHILD | WS_VISIBLE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ASSERT_NE((HWND)NULL, row.hWnd);
        RECT actual = PlaceOf(row.hWnd);
        EXPECT_EQ(row.place.left, actual.left);
        EXPECT_EQ(row.place.top, actual.top);
        EXPECT_EQ(row.place.right, actual.right);
        EXPECT_EQ(row.place.bottom, actual.bottom);
        LONG style = GetWindowLongW(row.hWnd, GWL_STYLE);
        EXPECT_EQ(row.style, style & (row.style | WS_BORDER | ES_MULTILINE));
        EXPECT_EQ(0, GetWindowLongW(row.hWnd, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    }
    EXPECT_EQ(L"安装文件下载中...", WindowText(controls.hStatusText));
    EXPECT_EQ(L"", WindowText(controls.hSizeText));
    EXPECT_EQ(0, ProgressPosition(controls.hProgressBar));
    DWORD_PTR range = 0;
    SendMessageTimeoutW(controls.hProgressBar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 5000, &range);
    EXPECT_EQ(100, (int)range);

    server->OpenGate();
    EXPECT_EQ(0u, program->WaitForExit());
    ExpectOpened(L"package.msi");
}

TEST_F(ProgramTest, CancelledCloseLeavesTheDownloadRunning)
{
    Serve({Gated(Respond("200 OK", Msi("package")))});
    HWND hMain = StartProgram();
    ASSERT_NE((HWND)NULL, hMain);

    PostMessageW(hMain, WM_CLOSE, 0, 0);
    HWND hBox = program->WaitForWindow(L"#32770");
    ASSERT_NE((HWND)NULL, hBox);
    Box box = ReadBox(hBox);
    EXPECT_EQ(L"Lumvex游戏-安装", box.caption);
    EXPECT_EQ(L"是否退出Lumvex游戏安装？", box.text);
    EXPECT_EQ(hMain, box.hOwner);
    EXPECT_TRUE(box.ok && box.cancel && box.icon);
    Press(hBox, IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hBox); }, 5000));

    server->OpenGate();
    EXPECT_EQ(0u, program->WaitForExit());
    // The shell was handed the package under its own name, complete.
    ExpectOpened(L"package.msi");
    EXPECT_EQ(Msi("package"), ReadFileBytes(L"package.msi"));
}

// A second copy started while the first downloads finds the .part held: it fails, and leaves the
// first one's files alone. The first, closed, leaves what it has for a third run to resume.
TEST_F(ProgramTest, ConfirmedCloseEndsAtOnceAndASecondCopyTouchesNothing)
{
    const std::string package = Msi(std::string(8 * 1024 * 1024 - 8, 'p'));
    const FixtureResponse paced = Slow(Ranged(package, "ETag: \"v1\""));
    Serve({Once(paced), Gated(Ranged(package, "ETag: \"v1\""))});
    HWND hMain = StartProgram();
    ASSERT_NE((HWND)NULL, hMain);
    Controls controls = ControlsOf(hMain);
    // Past the first checkpoint, at 4 MiB.
    ASSERT_TRUE(WaitUntil([&] { return _wtof(WindowText(controls.hSizeText).c_str()) >= 4.5; }));

    Program second;
    HWND hError = second.WaitForWindow(L"#32770");
    ASSERT_NE((HWND)NULL, hError);
    EXPECT_EQ(L"下载错误，请重试！", ReadBox(hError).text);
    Press(hError, IDOK);
    EXPECT_EQ(0u, second.WaitForExit());
    EXPECT_EQ(1u, FolderContents().count("package.msi.resume"));

    PostMessageW(hMain, WM_CLOSE, 0, 0);
    HWND hBox = program->WaitForWindow(L"#32770");
    ASSERT_NE((HWND)NULL, hBox);
    Press(hBox, IDOK);
    EXPECT_EQ(0u, program->WaitForExit(10000));
    Files files = FolderContents();
    EXPECT_EQ(0u, files.count("package.msi"));
    // A validator came with the body: what arrived is kept for the next run.
    EXPECT_EQ(1u, files.count("package.msi.resume"));

    Program third;
    server->OpenGate();
    EXPECT_EQ(0u, third.WaitForExit());
    EXPECT_EQ(package, ReadFileBytes(L"package.msi"));
    const std::vector<std::string> ranges = server->RequestHeaders("Range");
    // The second copy asked for nothing.
    ASSERT_EQ(2u, ranges.size());
    EXPECT_GE(atoi(ranges[1].c_str() + ranges[1].find('=') + 1), 4 * 1024 * 1024) << ranges[1];
}

TEST_F(ProgramTest, ResumedRunStartsFromTheKeptBytes)
{
    const std::string package = Msi(std::string(10 * 1024 * 1024 - 8, 'p'));
    Serve({Gated(Ranged(package, "ETag: \"v1\""))});
    WriteFileBytes(L"package.msi.part", package.substr(0, 5 * 1024 * 1024));
    WriteFileBytes(L"package.msi.resume", "ServerScheme=http\r\nServerAddress=127.0.0.1\r\nServerPort=" + std::to_string(server->Port()) +
                                                     "\r\nMsiServerPath=/LumvexSetup.msi\r\nValidator=\"v1\"\r\n"
                                                     "Total=10485760\r\nReceived=5242880\r\n");
    HWND hMain = StartProgram();
    ASSERT_NE((HWND)NULL, hMain);
    Controls controls = ControlsOf(hMain);
    // The text and the bar are set one after the other, from the download's thread.
    WaitUntil(
        [&] {
            return WindowText(controls.hSizeText) == L"5.00M / 10.00M" &&
                   ProgressPosition(controls.hProgressBar) == 50;
        },
        10000);
    EXPECT_EQ(L"5.00M / 10.00M", WindowText(controls.hSizeText));
    EXPECT_EQ(50, ProgressPosition(controls.hProgressBar));

    server->OpenGate();
    EXPECT_EQ(0u, program->WaitForExit());
    ExpectOpened(L"package.msi");
    EXPECT_EQ(package, ReadFileBytes(L"package.msi"));
    EXPECT_EQ(std::vector<std::string>({"bytes=5242880-"}), server->RequestHeaders("Range"));
}

struct OutcomeRow {
    const char *label;
    FixtureResponse response;
    const char *localPath;
    const wchar_t *boxText;
    const wchar_t *statusText;
    const wchar_t *sizeText;
    int barPosition;
    bool nothingListens = false;
    const wchar_t *type = RECORDED;  // what opens a package
    bool programBeside = false;      // a program named as the package without its extension
};

TEST_F(ProgramTest, OutcomeBoxesAreOwnerlessAndEndTheProgram)
{
    const OutcomeRow rows[] = {
        {"download error", Respond("404 Not Found", "missing"), "package.msi", L"下载错误，请重试！",
         L"安装文件下载中...", L"", 0},
        {"portal page under a package name", Respond("200 OK", "<html><body>Sign in first</body></html>"),
         "LumvexSetup.msi", L"下载错误，请重试！", L"安装文件下载中...", L"", 0},
        {"no program for the package type", Respond("200 OK", Msi(std::string(1572864 - 8, 'p'))), "package.msi",
         L"找不到文件，请重试！", L"下载完成...", L"1.50M / 1.50M", 100, false, NO_PROGRAM},
        // Retries for a minute, about 1, 2, 4, 8, 16 and 32 s apart, then the same box.
        {"nothing listening", Respond("200 OK", Msi("package")), "package.msi", L"下载错误，请重试！",
         L"安装文件下载中...", L"", 0, true},
        // The shell would add an extension and start the program: only a package's name is taken.
        {"no extension, and a program of that name beside it", Respond("200 OK", Msi("package")), "LumvexSetup",
         L"下载错误，请重试！", L"安装文件下载中...", L"", 0, false, RECORDED, true},
    };
    for (const OutcomeRow &row : rows) {
        SCOPED_TRACE(row.label);
        Serve({row.response}, row.localPath);
        if (row.nothingListens)
            WriteSettings(UnusedPort(), row.localPath);
        OpenPackagesWith(row.type);
        if (row.programBeside) {
            ASSERT_TRUE(CopyFileW(BesideTests(L"record_open.exe").c_str(), L"LumvexSetup.exe", FALSE));
        }
        HWND hMain = StartProgram();
        ASSERT_NE((HWND)NULL, hMain);

        HWND hBox = program->WaitForWindow(L"#32770", row.nothingListens ? 100000 : 20000);
        ASSERT_NE((HWND)NULL, hBox);
        Box box = ReadBox(hBox);
        EXPECT_EQ(L"Lumvex", box.caption);
        EXPECT_EQ(row.boxText, box.text);
        EXPECT_EQ((HWND)NULL, box.hOwner);
        EXPECT_TRUE(box.ok);
        EXPECT_FALSE(box.cancel || box.icon);

        // The box has no owner: the main window behind it stays usable, and readable.
        EXPECT_TRUE(IsWindowEnabled(hMain));
        Controls controls = ControlsOf(hMain);
        EXPECT_EQ(row.statusText, WindowText(controls.hStatusText));
        EXPECT_EQ(row.sizeText, WindowText(controls.hSizeText));
        EXPECT_EQ(row.barPosition, ProgressPosition(controls.hProgressBar));

        Press(hBox, IDOK);
        EXPECT_EQ(0u, program->WaitForExit());
        if (row.programBeside) {
            EXPECT_EQ(0u, server->Requests().size());
            EXPECT_EQ(L"", RecordedOpen());
        }
    }
}

TEST_F(ProgramTest, MinimisedStartStillDownloads)
{
    Serve({Gated(Respond("200 OK", Msi("package")))});
    HWND hMain = StartProgram(SW_SHOWMINNOACTIVE);
    ASSERT_NE((HWND)NULL, hMain);
    EXPECT_TRUE(IsIconic(hMain));

    server->OpenGate();
    EXPECT_EQ(0u, program->WaitForExit());
    ExpectOpened(L"package.msi");
}

// A publisher's names in Chinese, in a settings file Notepad saved as UTF-8 with its mark: the
// package is saved, and opened, under the characters written.
TEST_F(ProgramTest, ChineseNamesAreSavedAndOpenedAsWritten)
{
    ASSERT_TRUE(CreateDirectoryW(L"下载", NULL));
    Serve({Respond("200 OK", Msi("package"))}, "\xE4\xB8\x8B\xE8\xBD\xBD\\Lumvex\xE6\xB8\xB8\xE6\x88\x8F.msi");
    WriteFileBytes(L"LumvexInstallerConfig.ini", "\xEF\xBB\xBF" + ReadFileBytes(L"LumvexInstallerConfig.ini"));
    program.reset(new Program());
    EXPECT_EQ(0u, program->WaitForExit());
    ExpectOpened(L"下载\\Lumvex游戏.msi");
    EXPECT_EQ(Msi("package"), ReadFileBytes(L"下载\\Lumvex游戏.msi"));
}

// A bootstrapper runs from a downloads folder, where a web page can leave files of any name.
TEST_F(ProgramTest, DllsAndPackagesPlantedBesideItNeverRun)
{
    const std::wstring app = folder.Path() + L"\\app\\";
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), NULL));
    ASSERT_TRUE(CopyFileW(BesideTests(L"..\\LumvexInstaller.exe").c_str(), (app + L"LumvexInstaller.exe").c_str(), TRUE));
    const wchar_t *const names[] = {L"winhttp.dll", L"comctl32.dll"};
    for (const wchar_t *name : names) {
        const std::wstring planted = BesideTests(L"planted\\") + name;
        ASSERT_TRUE(CopyFileW(planted.c_str(), (app + name).c_str(), TRUE));
        ASSERT_TRUE(CopyFileW(planted.c_str(), name, TRUE));
    }
    // Beside the program, named as the package: the package that passed the checks opens, not it.
    WriteFileBytes((app + L"LumvexSetup.msi").c_str(), Msi("decoy"));
    Serve({Gated(Respond("200 OK", Msi("package")))}, "LumvexSetup.msi");

    // Windows' own order for DLLs that are not known DLLs: the program's folder first. (Wine
    // takes WINEDLLOVERRIDES only from the Unix side; this key is its per-program equivalent.)
    struct PreferPlanted {
        const wchar_t *const keyName = L"Software\\Wine\\AppDefaults\\LumvexInstaller.exe\\DllOverrides";
        HKEY hKey = NULL;
        PreferPlanted()
        {
            RegCreateKeyExW(HKEY_CURRENT_USER, keyName, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL);
            for (const wchar_t *name : {L"winhttp", L"comctl32"})
                RegSetValueExW(hKey, name, 0, REG_SZ, (const BYTE *)L"native,builtin", sizeof(L"native,builtin"));
        }
        ~PreferPlanted()
        {
            RegCloseKey(hKey);
            RegDeleteKeyW(HKEY_CURRENT_USER, keyName);
        }
    } preferPlanted;
    HWND hMain = StartProgram(-1, app + L"LumvexInstaller.exe");
    ASSERT_NE((HWND)NULL, hMain);
    EXPECT_NE((HWND)NULL, ControlsOf(hMain).hProgressBar);
    server->OpenGate();
    EXPECT_EQ(0u, program->WaitForExit());
    ExpectOpened(L"LumvexSetup.msi");

    for (const wchar_t *name : names) {
        for (const std::wstring &marker : {app + name + L".loaded", std::wstring(name) + L".loaded"})
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str())) << std::string(marker.begin(), marker.end());
    }
}

TEST_F(ProgramTest, RealPackageIsInstalledBySystemInstaller)
{
    const std::wstring package = BesideTests(L"LumvexDemo.msi");
    wchar_t installed[MAX_PATH];
    ExpandEnvironmentStringsW(L"%LOCALAPPDATA%\\LumvexDemo\\payload.bin", installed, MAX_PATH);
    // Start from a machine without it, whatever an earlier run left.
    std::wstring uninstall = L"msiexec.exe /x \"" + package + L"\" /qn";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(NULL, &uninstall[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DeleteFileW(installed);

    Serve({Respond("200 OK", ReadFileBytes(package.c_str()))}, "LumvexSetup.msi");
    OpenPackagesWith(SYSTEM_INSTALLER);
    program.reset(new Program());
    EXPECT_EQ(0u, program->WaitForExit());
    EXPECT_EQ(ReadFileBytes(package.c_str()), ReadFileBytes(L"LumvexSetup.msi"));
    EXPECT_TRUE(WaitUntil([&] { return GetFileAttributesW(installed) != INVALID_FILE_ATTRIBUTES; }, 60000));
}

}  // namespace
