#include "ProgramDriver.h"

#include <commctrl.h>

#include <vector>

namespace {

struct Search {
    DWORD processId;
    const wchar_t *className;
    HWND hFound;
};

BOOL CALLBACK MatchWindow(HWND hWnd, LPARAM context)
{
    Search *search = (Search *)context;
    DWORD processId = 0;
    GetWindowThreadProcessId(hWnd, &processId);
    if (processId == search->processId && ClassOf(hWnd) == search->className && IsWindowVisible(hWnd)) {
        search->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND hWnd, LPARAM context)
{
    ((std::vector<HWND> *)context)->push_back(hWnd);
    return TRUE;
}

}  // namespace

std::wstring BesideTests(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

Program::Program(int showCommand, const std::wstring &exe) : process_()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (showCommand >= 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = (WORD)showCommand;
    }
    const std::wstring path = exe.empty() ? BesideTests(L"..\\LumvexInstaller.exe") : exe;
    std::wstring commandLine = L"\"" + path + L"\"";
    CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process_);
}

Program::~Program()
{
    if (process_.hProcess == NULL)
        return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

HWND Program::WaitForWindow(const wchar_t *className, DWORD msTimeout)
{
    Search search = {process_.dwProcessId, className, NULL};
    WaitUntil([&] {
        EnumWindows(MatchWindow, (LPARAM)&search);
        return search.hFound != NULL;
    }, msTimeout);
    return search.hFound;
}

DWORD Program::WaitForExit(DWORD msTimeout)
{
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, msTimeout) == WAIT_OBJECT_0)
        GetExitCodeProcess(process_.hProcess, &exitCode);
    return exitCode;
}

std::wstring WindowText(HWND hWnd)
{
    wchar_t text[512] = {0};
    DWORD_PTR cch = 0;
    SendMessageTimeoutW(hWnd, WM_GETTEXT, 512, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &cch);
    return text;
}

std::wstring ClassOf(HWND hWnd)
{
    wchar_t name[256] = {0};
    GetClassNameW(hWnd, name, 256);
    return name;
}

RECT PlaceOf(HWND hWnd)
{
    RECT rect;
    GetWindowRect(hWnd, &rect);
    HWND hParent = GetParent(hWnd);
    if (hParent != NULL && (GetWindowLongW(hWnd, GWL_STYLE) & WS_CHILD))
        MapWindowPoints(NULL, hParent, (POINT *)&rect, 2);
    return rect;
}

Controls ControlsOf(HWND hMainWnd)
{
    std::vector<HWND> children;
    EnumChildWindows(hMainWnd, CollectChild, (LPARAM)&children);
    Controls controls;
    for (HWND hChild : children) {
        std::wstring name = ClassOf(hChild);
        if (lstrcmpiW(name.c_str(), L"Edit") == 0)
            (PlaceOf(hChild).left < 200 ? controls.hStatusText : controls.hSizeText) = hChild;
        else if (name == L"msctls_progress32")
            controls.hProgressBar = hChild;
    }
    return controls;
}

int ProgressPosition(HWND hProgressBar)
{
    DWORD_PTR position = 0;
    SendMessageTimeoutW(hProgressBar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position);
    return (int)position;
}

Box ReadBox(HWND hBox)
{
    Box box;
    box.caption = WindowText(hBox);
    box.text = WindowText(GetDlgItem(hBox, 0xFFFF));
    box.hOwner = GetWindow(hBox, GW_OWNER);
    HWND hOk = GetDlgItem(hBox, IDOK);
    HWND hCancel = GetDlgItem(hBox, IDCANCEL);
    box.ok = hOk != NULL && IsWindowVisible(hOk);
    box.cancel = hCancel != NULL && IsWindowVisible(hCancel);
    DWORD_PTR hIcon = 0;
    SendMessageTimeoutW(GetDlgItem(hBox, 0x0440), STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &hIcon);
    box.icon = hIcon != 0;
    return box;
}

void Press(HWND hBox, int button)
{
    PostMessageW(GetDlgItem(hBox, button), BM_CLICK, 0, 0);
}
