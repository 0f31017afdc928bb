// Reference transfers for the benchmark, the program's own loop without the program:
//   bench_loop bare HOST PORT PATH FILE   the WinHTTP loop alone, no UI
//   bench_loop ui   HOST PORT PATH FILE   the same loop on a worker thread, with the two
//                                         synchronous sends per chunk to a read-only EDIT
//                                         and a progress bar owned by the UI thread
//   bench_loop transfer                   the program's own transfer, no window, directed by
//                                         LumvexInstallerConfig.ini: it ends where the
//                                         program would show its outcome
// Exit code 0 when the whole body arrived; for transfer, the transfer's own result.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <winhttp.h>

#include <stdint.h>
#include <stdlib.h>

#include "download/core/ProgressText.h"
#include "download/Transfer.h"
#include "settings/Settings.h"

namespace {

struct Job {
    const wchar_t *host;
    INTERNET_PORT port;
    const wchar_t *path;
    const wchar_t *file;
    HWND hText;
    HWND hBar;
    HWND hMain;
    DWORD result;
};

DWORD Transfer(Job *job)
{
    DWORD result = 1;
    HINTERNET hSession = WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET hConnect = hSession ? WinHttpConnect(hSession, job->host, job->port, 0) : NULL;
    HINTERNET hRequest = hConnect ? WinHttpOpenRequest(hConnect, L"GET", job->path, NULL, WINHTTP_NO_REFERER,
                                                       WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                  : NULL;
    DWORD total = 0;
    DWORD cbTotal = sizeof(total);
    HANDLE hFile = INVALID_HANDLE_VALUE;
    if (hRequest && WinHttpSendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(hRequest, NULL) &&
        WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &total, &cbTotal, WINHTTP_NO_HEADER_INDEX))
        hFile = CreateFileW(job->file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    uint32_t received = 0;
    HANDLE hHeap = GetProcessHeap();
    while (hFile != INVALID_HANDLE_VALUE) {
        DWORD cbAvailable = 0;
        if (!WinHttpQueryDataAvailable(hRequest, &cbAvailable))
            break;
        if (cbAvailable == 0) {
            result = received == total ? 0 : 1;
            break;
        }
        BYTE *chunk = (BYTE *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, (SIZE_T)cbAvailable + 1);
        DWORD cbRead = 0;
        DWORD cbWritten = 0;
        bool ok = chunk != NULL && WinHttpReadData(hRequest, chunk, cbAvailable, &cbRead) && cbRead != 0 &&
                  WriteFile(hFile, chunk, cbRead, &cbWritten, NULL) && cbWritten == cbRead;
        HeapFree(hHeap, 0, chunk);
        if (!ok)
            break;
        received += cbRead;
        if (job->hText != NULL) {
            wchar_t text[PROGRESS_CCH_TEXT] = {0};
            FormatSizeText(text, PROGRESS_CCH_TEXT, received, total);
            SendMessageW(job->hText, WM_SETTEXT, 0, (LPARAM)text);
            SendMessageW(job->hBar, PBM_SETPOS, (WPARAM)ProgressPercent(received, total), 0);
        }
    }
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    if (hRequest)
        WinHttpCloseHandle(hRequest);
    if (hConnect)
        WinHttpCloseHandle(hConnect);
    if (hSession)
        WinHttpCloseHandle(hSession);
    return result;
}

DWORD WINAPI Worker(void *context)
{
    Job *job = (Job *)context;
    job->result = Transfer(job);
    PostMessageW(job->hMain, WM_CLOSE, 0, 0);
    return 0;
}

LRESULT CALLBACK MainProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != NULL && argc == 2 && lstrcmpW(argv[1], L"transfer") == 0) {
        LoadSettings();
        return (int)DownloadInstaller();
    }
    if (argv == NULL || argc != 6)
        return 2;
    Job job = {argv[2], (INTERNET_PORT)_wtoi(argv[3]), argv[4], argv[5], NULL, NULL, NULL, 1};
    if (lstrcmpW(argv[1], L"ui") != 0)
        return (int)Transfer(&job);

    // The main window as the program builds it: a read-only EDIT and a progress bar.
    InitCommonControls();
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainProc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = L"BenchLoop";
    RegisterClassExW(&windowClass);
    job.hMain = CreateWindowExW(0, L"BenchLoop", L"", WS_OVERLAPPEDWINDOW, 0, 0, 460, 140, NULL, NULL, hInstance, NULL);
    job.hText = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_READONLY, 250, 30, 160, 21, job.hMain, NULL,
                                hInstance, NULL);
    job.hBar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 30, 60, 380, 17, job.hMain, NULL,
                               hInstance, NULL);
    ShowWindow(job.hMain, SW_SHOW);
    HANDLE hThread = CreateThread(NULL, 0, Worker, &job, 0, NULL);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return (int)job.result;
}
