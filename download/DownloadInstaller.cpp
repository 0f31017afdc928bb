#include "Transfer.h"

#include <stdint.h>

#include "settings/Settings.h"
#include "ui/SystemLibraries.h"
#include "HeaderScan.h"
#include "Progress.h"
#include "Verify.h"

static const wchar_t PART_SUFFIX[] = L".part";
enum { CCH_PART_PATH = SETTINGS_CCH_TEXT + sizeof(PART_SUFFIX) / sizeof(wchar_t) - 1 };

static void MakePartPath(wchar_t *partPath)
{
    size_t cch = 0;
    for (const wchar_t *p = BootstrapSettings.MsiLocalPath; *p != L'\0'; ++p)
        partPath[cch++] = *p;
    for (const wchar_t *p = PART_SUFFIX; *p != L'\0'; ++p)
        partPath[cch++] = *p;
    partPath[cch] = L'\0';
}

// The package name may be taken over: nothing there, or a plain file nobody holds open. A
// read-only file, a folder or a file in use would only refuse the finished download, so they
// end the transfer before its body.
static bool CanTakePackageName()
{
    DWORD attributes = GetFileAttributesW(BootstrapSettings.MsiLocalPath);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // Asked for explicitly: not every system refuses a write open of a read-only file.
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return false;
    // A file in use elsewhere cannot be opened without sharing.
    HANDLE hExisting = CreateFileW(BootstrapSettings.MsiLocalPath, GENERIC_WRITE, 0, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hExisting == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hExisting);
    return true;
}

// Read right after the failing call, before any cleanup can overwrite it. A failure
// must never read as success, should the platform leave no code.
static DWORD LastErrorOrOne()
{
    DWORD error = GetLastError();
    return error != 0 ? error : 1;
}

DWORD DownloadInstaller()
{
    DWORD result = 0;
    HINTERNET hSession = NULL;
    HINTERNET hConnect = NULL;
    HINTERNET hRequest = NULL;
    wchar_t *headers = NULL;
    BYTE *chunk = NULL;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    HANDLE hHeap = GetProcessHeap();
    PACKAGE_VERIFIER verifier = {};
    wchar_t partPath[CCH_PART_PATH];
    uint32_t total = 0;
    uint32_t received = 0;
    DWORD cbHeaders = 0;
    BOOL responseOk;
    BOOL sized;

    if (!LoadWinHttp()) {
        result = LastErrorOrOne();
        goto Cleanup;
    }
    hSession = WinHttp.Open(L"", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    if (hSession == NULL) {
        result = LastErrorOrOne();
        goto Cleanup;
    }
    hConnect = WinHttp.Connect(hSession, BootstrapSettings.ServerAddress,
                              (INTERNET_PORT)(BootstrapSettings.ServerPort & 0xFFFF), 0);
    if (hConnect == NULL) {
        result = LastErrorOrOne();
        goto Cleanup;
    }
    hRequest = WinHttp.OpenRequest(hConnect, L"GET", BootstrapSettings.MsiServerPath, NULL,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (hRequest == NULL) {
        result = LastErrorOrOne();
        goto Cleanup;
    }
    if (!WinHttp.SendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                            0, 0, 0)) {
        result = LastErrorOrOne();
        goto Cleanup;
    }

    // A failed receive shows up as a failed size query; its code is the one reported.
    responseOk = WinHttp.ReceiveResponse(hRequest, NULL);
    sized = WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                WINHTTP_HEADER_NAME_BY_INDEX, NULL, &cbHeaders,
                                WINHTTP_NO_HEADER_INDEX);
    if (!responseOk || sized || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        result = LastErrorOrOne();
        goto Cleanup;
    }
    {
        // One spare character keeps the text terminated whatever the second query writes.
        DWORD cchHeaders = cbHeaders / sizeof(wchar_t);
        headers = (wchar_t *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, (cchHeaders + 1) * sizeof(wchar_t));
        if (headers == NULL) {
            result = 1;
            goto Cleanup;
        }
        cbHeaders = cchHeaders * sizeof(wchar_t);
        if (!WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                 WINHTTP_HEADER_NAME_BY_INDEX, headers, &cbHeaders,
                                 WINHTTP_NO_HEADER_INDEX)) {
            result = LastErrorOrOne();
            goto Cleanup;
        }
        // Error pages are never saved: only a 2xx final answer carries the package.
        if (IsSuccessStatus(headers, cchHeaders))
            total = FindContentLength(headers, cchHeaders);
        HeapFree(hHeap, 0, headers);
        headers = NULL;
    }
    if (total == 0 || !BeginVerify(&verifier)) {
        result = 1;
        goto Cleanup;
    }

    if (!CanTakePackageName()) {
        result = 1;
        goto Cleanup;
    }
    MakePartPath(partPath);
    hFile = CreateFileW(partPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        result = 1;
        goto Cleanup;
    }

    for (;;) {
        DWORD cbAvailable = 0;
        if (!WinHttp.QueryDataAvailable(hRequest, &cbAvailable)) {
            result = 1;
            break;
        }
        // The client reports a cut-off body as a normal end: only the count tells.
        if (cbAvailable == 0) {
            result = received == total && FinishVerify(&verifier, received) ? 0 : 1;
            break;
        }
        // More than announced can only end in failure; stop before it reaches the disk.
        if (cbAvailable > total - received) {
            result = 1;
            break;
        }
        chunk = (BYTE *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, (SIZE_T)cbAvailable + 1);
        if (chunk == NULL) {
            result = 1;
            break;
        }
        DWORD cbRead = 0;
        if (!WinHttp.ReadData(hRequest, chunk, cbAvailable, &cbRead) || cbRead == 0 ||
            cbRead > cbAvailable) {
            result = 1;
            break;
        }
        // An answer that is not the package stops at its first bytes.
        if (!UpdateVerify(&verifier, received, chunk, cbRead)) {
            result = 1;
            break;
        }
        DWORD cbWritten = 0;
        if (!WriteFile(hFile, chunk, cbRead, &cbWritten, NULL) || cbWritten != cbRead) {
            result = 1;
            break;
        }
        HeapFree(hHeap, 0, chunk);
        chunk = NULL;
        received += cbRead;
        // Synchronous: the next chunk is requested only after the window shows this one.
        ReportProgress(received, total);
    }

Cleanup:
    EndVerify(&verifier);
    if (chunk != NULL)
        HeapFree(hHeap, 0, chunk);
    if (headers != NULL)
        HeapFree(hHeap, 0, headers);
    if (hRequest != NULL)
        WinHttp.CloseHandle(hRequest);
    if (hConnect != NULL)
        WinHttp.CloseHandle(hConnect);
    if (hSession != NULL)
        WinHttp.CloseHandle(hSession);
    if (hFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hFile);
        // The package name only ever receives a whole, checked body; a failed run leaves
        // nothing of its own behind, and a package already there stays as it was.
        if (result == 0 && !MoveFileExW(partPath, BootstrapSettings.MsiLocalPath,
                                        MOVEFILE_REPLACE_EXISTING))
            result = 1;
        if (result != 0)
            DeleteFileW(partPath);
    }
    return result;
}
