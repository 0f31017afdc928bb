// WinHTTP and the common controls, bound only from the system folder. A download bootstrapper
// runs from the Downloads folder, where a web page can drop a DLL of any name; these two are
// not "known DLLs", so imported statically they would be looked for beside the program first.
#pragma once

#include <windows.h>
#include <winhttp.h>

// The WinHTTP functions the transfer calls, each named once: "WinHttp" and the name.
#define WINHTTP_FUNCTION_NAMES(X)                                                                      \
    X(Open) X(Connect) X(OpenRequest) X(SendRequest) X(ReceiveResponse) X(QueryHeaders)                 \
    X(QueryDataAvailable) X(ReadData) X(CloseHandle) X(SetOption) X(SetTimeouts)                        \
    X(GetIEProxyConfigForCurrentUser) X(GetProxyForUrl) X(GetDefaultProxyConfiguration) X(QueryAuthSchemes)       \
    X(SetCredentials) X(SetStatusCallback) X(QueryOption)

// Looked up by name; WinHttp.Open is WinHttpOpen.
struct WINHTTP_FUNCTIONS {
#define WINHTTP_FUNCTION_FIELD(name) decltype(&::WinHttp##name) name;
    WINHTTP_FUNCTION_NAMES(WINHTTP_FUNCTION_FIELD)
#undef WINHTTP_FUNCTION_FIELD
};

// Filled by LoadWinHttp; valid only after it returned TRUE.
extern WINHTTP_FUNCTIONS WinHttp;

// First thing in WinMain: DLLs are no longer looked for in the current folder, and, where the
// system can, only in the system folder.
void RestrictDllSearch();

// Loads winhttp.dll from the system folder once and looks up its functions. FALSE, with the
// last error set, when it cannot; the DLL stays loaded for the life of the process.
BOOL LoadWinHttp();

// Loads comctl32.dll from the system folder and calls its InitCommonControls. FALSE when it
// cannot, and the progress bar class is then missing.
BOOL InitCommonControlsFromSystem();
