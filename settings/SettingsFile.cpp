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

// The path as Windows will use it: the long form, as far as the file or its folder exists.
static bool LongForm(const wchar_t *full, wchar_t *path, DWORD cchPath)
{
    DWORD cch = GetLongPathNameW(full, path, cchPath);
    if (cch > 0 && cch < cchPath)
        return true;
    // No such file yet: its folder's long form and the name as written.
    const wchar_t *name = wcsrchr(full, L'\\');
    wchar_t folder[MAX_PATH];
    size_t cchFolder = 0;
    if (name == NULL || !CopySpan(folder, MAX_PATH, full, name + 1))
        return false;
    cch = GetLongPathNameW(folder, path, cchPath);
    if (cch == 0 || cch >= cchPath)
        return CopyText(path, cchPath, full);
    cchFolder = cch;
    return AppendText(path, cchPath, &cchFolder, name + 1);
}

void ResolvePackagePath()
{
    wchar_t full[MAX_PATH];
    wchar_t path[MAX_PATH];
    DWORD cch = IsPackagePath(BootstrapSettings.MsiLocalPath)
                    ? GetFullPathNameW(BootstrapSettings.MsiLocalPath, MAX_PATH, full, NULL)
                    : 0;
    bool usable = cch > 0 && cch < MAX_PATH && LongForm(full, path, MAX_PATH) && IsPackageFullPath(path) &&
                  TextLength(path, MAX_PATH) < CCH_PACKAGE_PATH;
    DWORD attributes = usable ? GetFileAttributesW(path) : 0;
    usable = usable && (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY));
    PackagePath[0] = L'\0';
    if (usable)
        CopyText(PackagePath, CCH_PACKAGE_PATH, path);
}
