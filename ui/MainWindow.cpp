#include "MainWindow.h"

#include <shellapi.h>

#include "BootstrapWindows.h"
#include "Texts.h"
#include "download/Worker.h"
#include "settings/Settings.h"

static void OnClose(HWND hWnd)
{
    // The box keeps dispatching: progress goes on behind it, and an outcome arriving
    // meanwhile is handled at once; its quit then closes the box too.
    if (MessageBoxW(hWnd, TEXT_CONFIRM_QUIT, TEXT_CONFIRM_CAPTION, MB_OKCANCEL | MB_ICONQUESTION) ==
        IDOK)
        PostQuitMessage(0);
}

static void OnDownloadDone()
{
    SetWindowTextW(BootstrapWindows.hStatusText, TEXT_DOWNLOAD_DONE);
    // The full path the transfer wrote: a relative name would be searched for, the program's
    // own folder first, and a name without its extension could lead to a program. The
    // installer runs on its own; nobody waits for it.
    HINSTANCE hResult = ShellExecuteW(NULL, L"Open", PackagePath, NULL, NULL, SW_SHOW);
    if ((INT_PTR)hResult <= 32)
        MessageBoxW(NULL, TEXT_FILE_NOT_FOUND, TEXT_BOX_CAPTION, MB_OK);
    PostQuitMessage(0);
}

static void OnDownloadFailed()
{
    MessageBoxW(NULL, TEXT_DOWNLOAD_ERROR, TEXT_BOX_CAPTION, MB_OK);
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        OnClose(hWnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_DOWNLOAD_DONE:
        OnDownloadDone();
        return 0;
    case WM_DOWNLOAD_FAILED:
        OnDownloadFailed();
        return 0;
    default:
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}
