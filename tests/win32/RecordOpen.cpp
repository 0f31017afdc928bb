// Stands in for a file type's open program: writes the path it was given to "opened.txt" in
// its working directory, so a test can see what the shell opened.
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc < 2)
        return 1;
    // Written aside and then renamed: a test polling for the record never reads half of it.
    HANDLE hFile = CreateFileW(L"opened.tmp", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cbWritten = 0;
    WriteFile(hFile, argv[1], (DWORD)(lstrlenW(argv[1]) * sizeof(wchar_t)), &cbWritten, NULL);
    CloseHandle(hFile);
    MoveFileExW(L"opened.tmp", L"opened.txt", MOVEFILE_REPLACE_EXISTING);
    return 0;
}
