#include "Worker.h"

#include <process.h>

#include "Transfer.h"
#include "ui/BootstrapWindows.h"

unsigned __stdcall DownloadThreadProc(void *argument)
{
    (void)argument;
    DWORD result = DownloadInstaller();
    // Synchronous: returns only after the window has opened the package or shown the error.
    SendMessageW(BootstrapWindows.hMainWnd, result == 0 ? WM_DOWNLOAD_DONE : WM_DOWNLOAD_FAILED,
                 0, 0);
    _endthreadex(0);
    return 0;
}
