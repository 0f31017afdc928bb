#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include "BootstrapWindows.h"
#include "MainWindow.h"
#include "Texts.h"
#include "WindowLayout.h"
#include "download/Worker.h"
#include "platform/SystemLibraries.h"
#include "resources/resource.h"
#include "settings/Settings.h"

// Read-only single-line edit controls without a border serve as the two labels.
static const DWORD LABEL_STYLE = WS_CHILD | WS_VISIBLE | ES_READONLY;

static HWND CreateChild(HINSTANCE hInstance, const wchar_t *className, DWORD style, int x, int y,
                        int width, int height)
{
    return CreateWindowExW(0, className, NULL, style, x, y, width, height,
                           BootstrapWindows.hMainWnd, NULL, hInstance, NULL);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR commandLine, int showCommand)
{
    (void)hPrevInstance;
    (void)commandLine;

    // Before anything that may load a DLL.
    RestrictDllSearch();

    LoadSettings();
    InitCommonControlsFromSystem();

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = hInstance;
    windowClass.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_MAIN));
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    windowClass.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_MAIN));
    if (RegisterClassExW(&windowClass) == 0) {
        MessageBoxW(NULL, TEXT_REGISTER_FAILED, TEXT_BOX_CAPTION, MB_OK);
        return 1;
    }

    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    BootstrapWindows.hMainWnd = CreateWindowExW(
        0, MAIN_WINDOW_CLASS, TEXT_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
        CentredOffset(screenWidth, MAIN_WINDOW_WIDTH), CentredOffset(screenHeight, MAIN_WINDOW_HEIGHT),
        MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, NULL, NULL, hInstance, NULL);
    if (BootstrapWindows.hMainWnd == NULL) {
        MessageBoxW(NULL, TEXT_CREATE_FAILED, TEXT_BOX_CAPTION, MB_OK);
        return 1;
    }

    // A control that cannot be created stays null; what is later sent to it is lost.
    BootstrapWindows.hStatusText = CreateChild(hInstance, L"EDIT", LABEL_STYLE, 30, 30, 140, 21);
    SetWindowTextW(BootstrapWindows.hStatusText, TEXT_DOWNLOADING);
    BootstrapWindows.hSizeText = CreateChild(hInstance, L"EDIT", LABEL_STYLE, 250, 30, 160, 21);
    SetWindowTextW(BootstrapWindows.hSizeText, L"");
    BootstrapWindows.hProgressBar = CreateChild(hInstance, PROGRESS_CLASSW, WS_CHILD | WS_VISIBLE,
                                                30, 60, 380, 17);
    SendMessageW(BootstrapWindows.hProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    // Every process-wide record is complete now and never written again: that ordering is
    // what lets the worker read them without a lock. Nothing waits for the worker.
    HANDLE hWorker = (HANDLE)_beginthreadex(NULL, 0, DownloadThreadProc, NULL, 0, NULL);
    if (hWorker != NULL)
        CloseHandle(hWorker);

    ShowWindow(BootstrapWindows.hMainWnd, showCommand);
    UpdateWindow(BootstrapWindows.hMainWnd);

    MSG message = {};
    BOOL got;
    while ((got = GetMessageW(&message, NULL, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // -1 means the retrieval itself failed: end rather than spin, and say so in the exit code.
    return got == 0 ? (int)message.wParam : 1;
}

// Where the process starts: what the runtime's start-up would do for WinMain, and nothing else.
// The program has no static constructors and keeps no runtime state of its own (the runtime's
// DLL sets up its own), so that start-up would be 7 KiB of code and sections doing nothing.
extern "C" void WinMainCRTStartup()
{
    static char noCommandLine[] = "";
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    // Ends every thread with it, as the runtime's exit would: the worker needs no waiting for.
    ExitProcess((UINT)WinMain(GetModuleHandleW(NULL), NULL, noCommandLine, showCommand));
}
