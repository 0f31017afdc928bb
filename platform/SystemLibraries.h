// WinHTTP and the common controls, bound only from the system folder. A download bootstrapper
// runs from the Downloads folder, where a web page can drop a DLL of any name; these two are
// not "known DLLs", so imported statically they would be looked for beside the program first.
#pragma once

#include <windows.h>
#include <winhttp.h>

// The WinHTTP functions the transfer calls, looked up by name.
struct WINHTTP_FUNCTIONS {
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpSetTimeouts) SetTimeouts;
    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfigForCurrentUser;
    decltype(&::WinHttpGetProxyForUrl) GetProxyForUrl;
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
