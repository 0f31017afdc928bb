#include "SystemLibraries.h"

WINHTTP_FUNCTIONS WinHttp;

// Not in XP's headers; the values are those of Windows 7 with KB2533623 and later.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef BOOL(WINAPI *SET_DEFAULT_DLL_DIRECTORIES)(DWORD flags);
typedef BOOL(WINAPI *SET_DLL_DIRECTORY)(LPCWSTR path);
typedef void(WINAPI *INIT_COMMON_CONTROLS)(void);

void RestrictDllSearch()
{
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    if (hKernel == NULL)
        return;
    SET_DEFAULT_DLL_DIRECTORIES setDefaultDllDirectories =
        (SET_DEFAULT_DLL_DIRECTORIES)(void *)GetProcAddress(hKernel, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != NULL)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SET_DLL_DIRECTORY setDllDirectory =
        (SET_DLL_DIRECTORY)(void *)GetProcAddress(hKernel, "SetDllDirectoryW");
    if (setDllDirectory != NULL)
        setDllDirectory(L"");
}

// The full path keeps the search order out of it; the altered search path makes the DLL's
// own dependencies come from the system folder too, on systems that predate the calls above.
static HMODULE LoadSystemLibrary(const wchar_t *name)
{
    wchar_t path[MAX_PATH + 16];
    UINT cch = GetSystemDirectoryW(path, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return NULL;
    path[cch++] = L'\\';
    for (const wchar_t *p = name; *p != L'\0' && cch < MAX_PATH + 15; ++p)
        path[cch++] = *p;
    path[cch] = L'\0';
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
static bool Bind(HMODULE hModule, const char *name, Function *function)
{
    *function = (Function)(void *)GetProcAddress(hModule, name);
    return *function != NULL;
}

BOOL LoadWinHttp()
{
    static HMODULE hWinHttp = NULL;
    if (hWinHttp != NULL)
        return TRUE;
    HMODULE hModule = LoadSystemLibrary(L"winhttp.dll");
    if (hModule == NULL)
        return FALSE;
    WINHTTP_FUNCTIONS functions;
    bool bound = true;
#define WINHTTP_FUNCTION_BIND(name) bound = bound && Bind(hModule, "WinHttp" #name, &functions.name);
    WINHTTP_FUNCTION_NAMES(WINHTTP_FUNCTION_BIND)
#undef WINHTTP_FUNCTION_BIND
    if (!bound) {
        DWORD error = GetLastError();
        FreeLibrary(hModule);
        SetLastError(error);
        return FALSE;
    }
    WinHttp = functions;
    hWinHttp = hModule;
    return TRUE;
}

BOOL InitCommonControlsFromSystem()
{
    // Stays loaded: the progress bar class lives in it.
    HMODULE hModule = LoadSystemLibrary(L"comctl32.dll");
    INIT_COMMON_CONTROLS initCommonControls = NULL;
    if (hModule == NULL || !Bind(hModule, "InitCommonControls", &initCommonControls))
        return FALSE;
    initCommonControls();
    return TRUE;
}
