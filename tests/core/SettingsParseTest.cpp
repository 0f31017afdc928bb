#include <string>

#include <gtest/gtest.h>

#include "download/core/PackageCheck.h"
#include "download/core/RoutePolicy.h"
#include "settings/SettingsParse.h"

namespace {

const BOOTSTRAP_SETTINGS DEFAULTS = {L"default.host", 80, L"/default.msi", L"default.msi", L"", L"http", L""};

struct SettingsRow {
    const char *label;
    std::string text;
    const wchar_t *serverAddress;
    int32_t serverPort;
    const wchar_t *msiServerPath;
    const wchar_t *msiLocalPath;
};

void CopyText(wchar_t *field, const wchar_t *value)
{
    std::wstring(value).copy(field, SETTINGS_CCH_TEXT - 1);
    field[std::wstring(value).size()] = L'\0';
}

std::string Utf16Le(const std::string &ascii)
{
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// Stands in for the system's code page: each byte the character of its value.
bool ReadAsLatin1(const char *bytes, size_t cb, wchar_t *text, size_t cchText)
{
    size_t i = 0;
    for (; i + 1 < cchText && i < cb; ++i)
        text[i] = (wchar_t)(unsigned char)bytes[i];
    text[i] = L'\0';
    return i == cb;
}

// A file whose byte 8191 falls inside the value of a MsiLocalPath line.
std::string CutByLimit()
{
    std::string padding(8191 - 16, '#');
    return padding + "\nMsiLocalPath=abcdefghij\nServerPort=81\n";
}

TEST(SettingsParse, AppliesRecognisedLines)
{
    const std::string longValue(300, 'x');
    const std::wstring cutValue(259, L'x');
    // Where wchar_t has 16 bits a character beyond U+FFFF takes two, which the field cannot hold.
    const std::wstring uncut = std::wstring(258, L'x') + (sizeof(wchar_t) == 2 ? L"" : L"\U0001F600");
    const SettingsRow rows[] = {
        {"empty file", "", L"default.host", 80, L"/default.msi", L"default.msi"},
        {"one line, no line end", "ServerPort=81", L"default.host", 81, L"/default.msi", L"default.msi"},
        {"blanks, case and CR LF", " \tserverport \t=\t 81 \t\r\n", L"default.host", 81, L"/default.msi", L"default.msi"},
        {"complete example",
         "[Download]\r\nServerPort=81\r\nmsiserverpath = /pkg/LumvexSetup.msi\r\nMsiLocalPath=LumvexSetup.msi\r\nSERVERADDRESS=127.0.0.1",
         L"127.0.0.1", 81, L"/pkg/LumvexSetup.msi", L"LumvexSetup.msi"},
        {"only the first = splits", "MsiServerPath=/a?b=c", L"default.host", 80, L"/a?b=c", L"default.msi"},
        {"last occurrence wins", "MsiLocalPath=a.msi\nMsiLocalPath=b.msi\n", L"default.host", 80, L"/default.msi", L"b.msi"},
        {"commented and section lines", ";ServerPort=1\n[ServerPort=2]\nServerPort\n=3\n", L"default.host", 80, L"/default.msi", L"default.msi"},
        {"empty value is stored", "ServerAddress=\n", L"", 80, L"/default.msi", L"default.msi"},
        {"port above 16 bits kept whole", "ServerPort=65617", L"default.host", 65617, L"/default.msi", L"default.msi"},
        {"hex port gives 0", "ServerPort=0x50", L"default.host", 0, L"/default.msi", L"default.msi"},
        {"port without digits gives 0", "ServerPort=http", L"default.host", 0, L"/default.msi", L"default.msi"},
        {"port saturates high", "ServerPort=99999999999", L"default.host", INT32_MAX, L"/default.msi", L"default.msi"},
        {"port saturates low", "ServerPort=-99999999999", L"default.host", INT32_MIN, L"/default.msi", L"default.msi"},
        {"signed port", "ServerPort=+81x", L"default.host", 81, L"/default.msi", L"default.msi"},
        {"zero byte ends the line", std::string("MsiLocalPath=a\0b.msi\nServerPort\0=81\n", 36), L"default.host", 80, L"/default.msi", L"a"},
        {"UTF-8 mark passed over", "\xEF\xBB\xBFServerPort=81\nMsiLocalPath=x.msi", L"default.host", 81, L"/default.msi", L"x.msi"},
        {"UTF-8 mark only at the start", "ServerPort=81\n\xEF\xBB\xBFServerPort=82\n", L"default.host", 81, L"/default.msi", L"default.msi"},
        {"UTF-8 names", "MsiLocalPath=\xE4\xB8\x8B\xE8\xBD\xBD\\Lumvex\xE6\xB8\xB8\xE6\x88\x8F.msi\nServerAddress=\xC3\xA9.example",
         L"\u00E9.example", 80, L"/default.msi", L"\u4E0B\u8F7D\\Lumvex\u6E38\u620F.msi"},
        {"a character is never cut in half", "MsiLocalPath=" + std::string(258, 'x') + "\xF0\x9F\x98\x80", L"default.host", 80,
         L"/default.msi", uncut.c_str()},
        {"UTF-16 file recognises nothing", Utf16Le("ServerPort=81\r\nMsiLocalPath=x.msi\r\n"), L"default.host", 80, L"/default.msi", L"default.msi"},
        {"bytes that are no UTF-8 go to the code page", "MsiLocalPath=\xE9\xA0.msi", L"default.host", 80, L"/default.msi", L"\u00E9\u00A0.msi"},
        {"an overlong form is no UTF-8", "MsiLocalPath=\xC0\xAF.msi", L"default.host", 80, L"/default.msi", L"\u00C0\u00AF.msi"},
        {"long value cut to 259", "MsiServerPath=" + longValue, L"default.host", 80, cutValue.c_str(), L"default.msi"},
        {"8191-byte limit cuts a line", CutByLimit(), L"default.host", 80, L"/default.msi", L"ab"},
    };
    for (const SettingsRow &row : rows) {
        BOOTSTRAP_SETTINGS settings = DEFAULTS;
        ApplySettingsText(&settings, row.text.data(), row.text.size(), ReadAsLatin1);
        EXPECT_EQ(std::wstring(row.serverAddress), settings.ServerAddress) << row.label;
        EXPECT_EQ(row.serverPort, settings.ServerPort) << row.label;
        EXPECT_EQ(std::wstring(row.msiServerPath), settings.MsiServerPath) << row.label;
        EXPECT_EQ(std::wstring(row.msiLocalPath), settings.MsiLocalPath) << row.label;
    }
}

TEST(SettingsParse, PinIsStoredLikeTheOtherTexts)
{
    BOOTSTRAP_SETTINGS settings = DEFAULTS;
    CopyText(settings.MsiSha256, L"built-in");
    CopyText(settings.ServerScheme, L"http");
    const std::string text = " msisha256 = ab12 \r\nMsiSha256=CD34\r\nServerPort=81\r\nserverscheme = HTTPS \r\n"
                             "SERVERMIRRORS = m1, m2:81 \r\n";
    ApplySettingsText(&settings, text.data(), text.size(), ReadAsLatin1);
    EXPECT_EQ(std::wstring(L"CD34"), settings.MsiSha256);
    EXPECT_EQ(81, settings.ServerPort);
    EXPECT_EQ(std::wstring(L"HTTPS"), settings.ServerScheme);
    EXPECT_EQ(std::wstring(L"m1, m2:81"), settings.ServerMirrors);

    // Their fields are short, but a longer value never reads as a good one once cut.
    const std::string longer = "MsiSha256=" + std::string(64, 'a') + "00\nServerScheme=https" + std::string(300, 's') + "\n";
    ApplySettingsText(&settings, longer.data(), longer.size(), ReadAsLatin1);
    uint8_t digest[CB_SHA256];
    EXPECT_FALSE(ParseSha256(settings.MsiSha256, digest));
    EXPECT_EQ(SCHEME_INVALID, ParseScheme(settings.ServerScheme));
}

// The local path names the package's own file on this machine, never another kind of file, a
// share, a device or a stream.
TEST(SettingsParse, OnlyAPackagesPathIsALocalPath)
{
    const struct {
        const wchar_t *path;
        bool valid;
    } rows[] = {
        {L"LumvexSetup.msi", true},
        {L"sub\\pkg.MSI", true},
        {L"sub/pkg.msi", true},
        {L".\\pkg.msi", true},
        {L"..\\..\\pkg.msi", true},
        {L"C:\\Downloads\\pkg.msi", true},
        {L"z:/pkg.msi", true},
        {L"\u00E9t\u00E9.msi", true},
        {L"\u4E0B\u8F7D\\Lumvex\u6E38\u620F\u5B89\u88C5\u5305.msi", true},
        {L"\u5104\u5B89\u88C5\u5305.msi", true},
        {L"NULL.msi", true},
        {L"COM10.msi", true},
        {L".msi", true},
        // Another kind of file: the shell would open it with whatever its type says.
        {L"LumvexSetup", false},
        {L"LumvexSetup.exe", false},
        {L"LumvexSetup.msi.exe", false},
        {L"movie.iso", false},
        {L"LumvexSetup.msi.", false},
        {L"LumvexSetup.msi ", false},
        {L"", false},
        // Shares, devices and paths that leave the working folder's drive to chance.
        {L"\\\\host\\share\\x.msi", false},
        {L"//host/share/x.msi", false},
        {L"\\\\?\\C:\\x.msi", false},
        {L"\\\\.\\pipe\\x.msi", false},
        {L"\\??\\C:\\x.msi", false},
        {L"\\x.msi", false},
        {L"C:x.msi", false},
        {L"1:\\x.msi", false},
        // Streams, and what the system refuses or reads otherwise.
        {L"x.msi:evil.msi", false},
        {L"sub\\x.msi:$DATA:.msi", false},
        {L"a*.msi", false},
        {L"a?.msi", false},
        {L"a\"b.msi", false},
        {L"a<b>.msi", false},
        {L"a|b.msi", false},
        {L"a\tb.msi", false},
        {L"%HOMEPATH%.msi", false},
        {L"100%.msi", false},
        {L"sub\\\\x.msi", false},
        {L"sub.\\x.msi", false},
        {L"sub \\x.msi", false},
        {L"...\\x.msi", false},
        // Names the system keeps for devices, in any letter case and any folder.
        {L"NUL.msi", false},
        {L"con.msi", false},
        {L"Aux.tar.msi", false},
        {L"prn .msi", false},
        {L"COM1.msi", false},
        {L"lpt9.msi", false},
        {L"COM\u00B9.msi", false},
        {L"CONOUT$.msi", false},
        {L"nul\\x.msi", false},
        {L"C:\\sub\\CON\\x.msi", false},
    };
    for (const auto &row : rows) {
        const std::wstring path = row.path;
        EXPECT_EQ(row.valid, IsPackagePath(row.path)) << std::string(path.begin(), path.end());
    }
    // The full path in its long form, as Windows will use it.
    const struct {
        const wchar_t *path;
        bool valid;
    } full[] = {
        {L"C:\\Users\\me\\Downloads\\LumvexSetup.msi", true},
        {L"\\\\host\\share\\me\\LumvexSetup.MSI", true},  // the working folder is the user's choice
        {L"C:\\Users\\me\\victim.msix", false},               // what VICTIM~1.MSI stood for
        {L"C:\\Users\\me\\quarterly report.msi_old", false},
        {L"C:\\Users\\100%\\LumvexSetup.msi", false},
    };
    for (const auto &row : full) {
        const std::wstring path = row.path;
        EXPECT_EQ(row.valid, IsPackageFullPath(row.path)) << std::string(path.begin(), path.end());
    }
}

TEST(SettingsParse, TrimSpacesCutsOnlyCLocaleBlanks)
{
    const struct {
        const char *text;
        const char *expected;
    } rows[] = {
        {"  key \r", "key"},
        {"\t\v\f\r\n ", ""},
        {"", ""},
        {"a", "a"},
        {" a b ", "a b"},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {"\x85x\x85", "\x85x\x85"},
    };
    for (const auto &row : rows) {
        std::string buffer = row.text;
        EXPECT_STREQ(row.expected, TrimSpaces(&buffer[0])) << '"' << row.text << '"';
    }
}

TEST(SettingsParse, CompareNoCaseFoldsOnlyAsciiLetters)
{
    const std::string longA = std::string(8192, 'k') + "a";
    const std::string longB = std::string(8192, 'K') + "b";
    const struct {
        const char *a;
        const char *b;
        int expected;
    } rows[] = {
        {"ServerPort", "serverPORT", 0},
        {"a", "b", -1},
        {"ServerPortX", "ServerPort", 'X'},
        {"", "a", -'A'},
        {"[", "{", '[' - '{'},
        {"\xE9", "\xC9", 0xE9 - 0xC9},
        {longA.c_str(), longB.c_str(), 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, CompareNoCase(row.a, row.b)) << '"' << row.a << "\" vs \"" << row.b << '"';
}

}  // namespace
