#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "TestFolder.h"
#include "settings/Settings.h"

namespace {

const wchar_t CONFIG[] = L"LumvexInstallerConfig.ini";

enum SETUP { PLAIN_FILE, NO_FILE, FOLDER, HELD_FOR_WRITING };

// Whatever the build made the default (a publisher may build in its own).
const int32_t DEFAULT_PORT = INT32_MIN;
const wchar_t *const DEFAULT_PATH = NULL;

struct LoadRow {
    const char *label;
    SETUP setup;
    std::string bytes;
    int32_t serverPort;
    const wchar_t *msiLocalPath;
};

std::string Utf16LeWithMark(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST(LoadSettings, ReadsTheWorkingDirectorysFileOnce)
{
    const std::string beyondLimit = std::string(8191 - 16, ';') + "\nMsiLocalPath=abcdefgh\nServerPort=81\n" +
                                    std::string(20000, 'x');
    const LoadRow rows[] = {
        {"no file keeps the defaults", NO_FILE, "", DEFAULT_PORT, DEFAULT_PATH},
        {"CR LF file", PLAIN_FILE, "ServerPort = 81\r\nmsilocalpath=a b.msi\r\n", 81, L"a b.msi"},
        {"only the first 8191 bytes count", PLAIN_FILE, beyondLimit, DEFAULT_PORT, L"ab"},
        {"zero byte inside a line", PLAIN_FILE, std::string("MsiLocalPath=x.msi\0.exe\nServerPort=81", 37), 81, L"x.msi"},
        {"UTF-16 file", PLAIN_FILE, Utf16LeWithMark("ServerPort=81\r\nMsiLocalPath=x.msi\r\n"), DEFAULT_PORT, DEFAULT_PATH},
        {"UTF-8 mark", PLAIN_FILE, "\xEF\xBB\xBFServerPort=81\r\nMsiLocalPath=x.msi\r\n", 81, L"x.msi"},
        {"a name in UTF-8", PLAIN_FILE, "MsiLocalPath=Lumvex\xE6\xB8\xB8\xE6\x88\x8F.msi\r\n", DEFAULT_PORT, L"Lumvex\u6E38\u620F.msi"},
        {"a folder of that name", FOLDER, "", DEFAULT_PORT, DEFAULT_PATH},
        {"held open for writing elsewhere", HELD_FOR_WRITING, "ServerPort=81\n", DEFAULT_PORT, DEFAULT_PATH},
    };
    const BOOTSTRAP_SETTINGS defaults = BootstrapSettings;
    for (const LoadRow &row : rows) {
        TestFolder folder;
        HANDLE hHeld = INVALID_HANDLE_VALUE;
        if (row.setup == PLAIN_FILE || row.setup == HELD_FOR_WRITING)
            WriteFileBytes(CONFIG, row.bytes);
        if (row.setup == FOLDER)
            CreateDirectoryW(CONFIG, NULL);
        if (row.setup == HELD_FOR_WRITING)
            hHeld = CreateFileW(CONFIG, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);

        LoadSettings();

        EXPECT_EQ(row.serverPort == DEFAULT_PORT ? defaults.ServerPort : row.serverPort, BootstrapSettings.ServerPort)
            << row.label;
        EXPECT_EQ(std::wstring(row.msiLocalPath == DEFAULT_PATH ? defaults.MsiLocalPath : row.msiLocalPath),
                  BootstrapSettings.MsiLocalPath)
            << row.label;
        EXPECT_EQ(std::wstring(defaults.MsiServerPath), BootstrapSettings.MsiServerPath) << row.label;
        if (hHeld != INVALID_HANDLE_VALUE)
            CloseHandle(hHeld);
    }
}

// As on Simplified Chinese Windows, whose code page is 936 (ctest runs this with a GBK locale):
// Notepad there saves GBK, or UTF-8 with a mark; the path rule judges the characters.
TEST(LoadSettingsInChinese, NamesReadAsTheSystemReadsThem)
{
    ASSERT_EQ(936u, GetACP()) << "this test wants the system code page 936 (LC_ALL=zh_CN.GBK under Wine)";
    const struct {
        const char *label;
        std::string bytes;
        const wchar_t *msiLocalPath;
    } rows[] = {
        {"GBK", "MsiLocalPath=\xCF\xC2\xD4\xD8\\LumvexSetup.msi\r\n", L"\u4E0B\u8F7D\\LumvexSetup.msi"},
        {"GBK whose second byte is a |", "MsiLocalPath=\x83\x7C\xB0\xB2\xD7\xB0\xB0\xFC.msi\r\n", L"\u5104\u5B89\u88C5\u5305.msi"},
        {"UTF-8 with a mark", "\xEF\xBB\xBFMsiLocalPath=Lumvex\xE6\xB8\xB8\xE6\x88\x8F\xE5\xAE\x89\xE8\xA3\x85\xE5\x8C\x85.msi\r\n",
         L"Lumvex\u6E38\u620F\u5B89\u88C5\u5305.msi"},
        {"bytes that read in neither", "MsiLocalPath=\xCF.msi\r\n", L""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TestFolder folder;
        WriteFileBytes(CONFIG, row.bytes);
        LoadSettings();
        EXPECT_EQ(std::wstring(row.msiLocalPath), BootstrapSettings.MsiLocalPath);
        EXPECT_EQ(row.msiLocalPath[0] == L'\0' ? L"" : folder.Path() + L"\\" + row.msiLocalPath, PackagePath);
    }
}

}  // namespace
