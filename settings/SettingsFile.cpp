#include "Settings.h"

#include <windows.h>

#include "SettingsParse.h"

static const wchar_t SETTINGS_FILE_NAME[] = L"LumvexInstallerConfig.ini";

void LoadSettings()
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
    ApplySettingsText(&BootstrapSettings, text, cbRead);
}
