#include "Worker.h"

#include <process.h>

#include "Transfer.h"
#include "ui/BootstrapWindows.h"

unsigned __stdcall DownloadThreadProc(void *argument)
{
    (void)argument;
    HANDLE hPackage = INVALID_HANDLE_VALUE;
    DWORD result = DownloadInstaller(&hPackage);
    // Synchronous: returns only after the window has opened the package or shown the error, so
    // the package stays as it passed the checks until the shell has it.
    SendMessageW(BootstrapWindows.hMainWnd, result == 0 ? WM_DOWNLOAD_DONE : WM_DOWNLOAD_FAILED,
                 0, 0);
    if (hPackage != INVALID_HANDLE_VALUE)
        CloseHandle(hPackage);
    _endthreadex(0);
    return 0;
}
