#include "Settings.h"

#include <windows.h>

#include "SettingsParse.h"
#include "text/PlainText.h"

static const wchar_t SETTINGS_FILE_NAME[] = L"LumvexInstallerConfig.ini";

// Written only by ResolvePackagePath, through LoadSettings, before the worker starts; read-only
// afterwards.
wchar_t PackagePath[CCH_PACKAGE_PATH];

// The system's own code page: where Notepad on a Chinese system saves a file, GBK.
static bool ReadInCodePage(const char *bytes, size_t cb, wchar_t *text, size_t cchText)
{
    wchar_t wide[SETTINGS_CB_MAX];
    int cch = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, (int)cb, wide, SETTINGS_CB_MAX);
    return cch > 0 && CopySpan(text, cchText, wide, wide + cch);
}

static void ReadSettingsFile()
{
    // A relative name: the file is looked for in the working directory, not beside the program.
    HANDLE hFile = CreateFileW(SETTINGS_FILE_NAME, GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;

    char text[SETTINGS_CB_MAX + 1] = {0};
    DWORD cbRead = 0;
    BOOL ok = ReadFile(hFile, text, SETTINGS_CB_MAX, &cbRead, NULL);
    CloseHandle(hFile);
    if (!ok)
        return;
    ApplySettingsText(&BootstrapSettings, text, cbRead, ReadInCodePage);
}

void LoadSettings()
{
    ReadSettingsFile();
    ResolvePackagePath();
}

void ResolvePackagePath()
{
    wchar_t full[MAX_PATH];
    DWORD cch = IsPackagePath(BootstrapSettings.MsiLocalPath)
                    ? GetFullPathNameW(BootstrapSettings.MsiLocalPath, MAX_PATH, full, NULL)
                    : 0;
    bool usable = cch > 0 && cch < CCH_PACKAGE_PATH;
    DWORD attributes = usable ? GetFileAttributesW(full) : 0;
    usable = usable && (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY));
    PackagePath[0] = L'\0';
    if (usable)
        lstrcpynW(PackagePath, full, CCH_PACKAGE_PATH);
}
