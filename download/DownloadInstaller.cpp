#include "Transfer.h"

#include <stdint.h>

#include "HeaderScan.h"
#include "PartFile.h"
#include "Progress.h"
#include "ResumeText.h"
#include "RetryPolicy.h"
#include "Route.h"
#include "Verify.h"
#include "platform/SystemLibraries.h"
#include "settings/Settings.h"

// A run that is killed loses at most this much of what it received.
static const uint32_t CB_CHECKPOINT = 4 * 1024 * 1024;

// One run's download, across its tries.
struct TRANSFER {
    ROUTE route;
    PART_FILE part;
    PACKAGE_VERIFIER verifier;
    uint32_t received;                 // bytes in the .part, every one of them verified
    uint32_t total;                    // the length of the body they belong to
    wchar_t validator[CCH_VALIDATOR];  // of the answer that began that body; empty: none
};

// How one try ended.
struct ATTEMPT {
    DWORD result;         // 0; the platform's code before the body; else 1
    bool transient;       // worth another try
    uint32_t retryAfter;  // what the server asked for, or NO_RETRY_AFTER
};

struct HTTP_REQUEST {
    HINTERNET hSession;
    HINTERNET hConnect;
    HINTERNET hRequest;
};

// Read right after the failing call, before any cleanup can overwrite it. A failure
// must never read as success, should the platform leave no code.
static void PlatformFailure(ATTEMPT *attempt)
{
    DWORD error = GetLastError();
    attempt->result = error != 0 ? error : 1;
    attempt->transient = IsTransientError(attempt->result);
}

static void RestartVerify(TRANSFER *transfer, bool *ok)
{
    EndVerify(&transfer->verifier);
    *ok = BeginVerify(&transfer->verifier) && *ok;
}

static void CopyValidator(wchar_t *to, const wchar_t *from)
{
    lstrcpynW(to, from, CCH_VALIDATOR);
}

// Picks up what an earlier run left, when it fits these settings and still reads as the
// package; otherwise the run starts from nothing.
static void BeginTransfer(TRANSFER *transfer)
{
    ZeroMemory(transfer, sizeof(*transfer));
    BeginRoute(&transfer->route);
    InitPartFile(&transfer->part);
    RESUME_STATE state;
    bool kept = OpenKeptPart(&transfer->part, &state);
    if (kept)
        RestartVerify(transfer, &kept);
    if (kept && VerifyKeptBytes(&transfer->part, &transfer->verifier, state.received)) {
        transfer->received = state.received;
        transfer->total = state.total;
        CopyValidator(transfer->validator, state.validator);
        // The bar starts where the kept bytes end.
        ReportProgress(transfer->received, transfer->total);
    } else {
        DiscardPart(&transfer->part);
    }
}

// Session, connection and request, sent; asking only for the rest when bytes are kept.
static bool SendRequest(const TRANSFER *transfer, HTTP_REQUEST *http, ATTEMPT *attempt)
{
    wchar_t range[CCH_VALIDATOR + 64];
    const wchar_t *headers = WINHTTP_NO_ADDITIONAL_HEADERS;
    if (AsksForRange(transfer->received, transfer->validator) &&
        FormatRangeRequest(range, sizeof(range) / sizeof(range[0]), transfer->received, transfer->validator))
        headers = range;
    const ROUTE *route = &transfer->route;
    bool sent =
        LoadWinHttp() && (http->hSession = OpenSession(route)) != NULL &&
        (http->hConnect = WinHttp.Connect(http->hSession, BootstrapSettings.ServerAddress, route->port, 0)) != NULL &&
        (http->hRequest = WinHttp.OpenRequest(http->hConnect, L"GET", BootstrapSettings.MsiServerPath, NULL,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              route->scheme == SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)) != NULL &&
        WinHttp.SendRequest(http->hRequest, headers, headers == WINHTTP_NO_ADDITIONAL_HEADERS ? 0 : (DWORD)-1L,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent)
        PlatformFailure(attempt);
    return sent;
}

static void CloseRequest(HTTP_REQUEST *http)
{
    if (http->hRequest != NULL)
        WinHttp.CloseHandle(http->hRequest);
    if (http->hConnect != NULL)
        WinHttp.CloseHandle(http->hConnect);
    if (http->hSession != NULL)
        WinHttp.CloseHandle(http->hSession);
}

// The final answer's headers (redirects are the client's), scanned into answer.
static bool ReceiveAnswer(HINTERNET hRequest, ANSWER *answer, ATTEMPT *attempt)
{
    bool scanned = false;
    wchar_t *headers = NULL;
    DWORD cbHeaders = 0;
    DWORD cchHeaders;
    // A failed receive shows up as a failed size query; its code is the one reported.
    BOOL responseOk = WinHttp.ReceiveResponse(hRequest, NULL);
    BOOL sized = WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, NULL,
                                      &cbHeaders, WINHTTP_NO_HEADER_INDEX);
    if (!responseOk || sized || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    // One spare character keeps the text terminated whatever the second query writes.
    cchHeaders = cbHeaders / sizeof(wchar_t);
    headers = (wchar_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (cchHeaders + 1) * sizeof(wchar_t));
    if (headers == NULL)
        goto Cleanup;
    cbHeaders = cchHeaders * sizeof(wchar_t);
    if (!WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, headers,
                              &cbHeaders, WINHTTP_NO_HEADER_INDEX)) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    ScanAnswer(headers, cchHeaders, answer);
    scanned = true;

Cleanup:
    if (headers != NULL)
        HeapFree(GetProcessHeap(), 0, headers);
    return scanned;
}

// A whole body begins: whatever was kept goes, and the checks start again at its first byte.
static bool StartBody(TRANSFER *transfer, const ANSWER *answer)
{
    bool started = CanTakePackageName() && StartPart(&transfer->part);
    RestartVerify(transfer, &started);
    if (transfer->received > 0)
        ReportProgress(0, answer->length);
    transfer->received = 0;
    transfer->total = answer->length;
    CopyValidator(transfer->validator, answer->validator);
    // From the body's first byte, a killed run leaves a state that says what the .part is.
    if (started)
        CheckpointPart(&transfer->part, transfer->validator, transfer->total, 0);
    return started;
}

// What is kept no longer matches the server's package: the next try asks for all of it.
static void DropKeptBytes(TRANSFER *transfer)
{
    ReportProgress(0, transfer->total);
    transfer->received = 0;
    transfer->validator[0] = L'\0';
}

// The last piece is in: the body must be exactly as long as announced and pass every check.
static void EndBody(TRANSFER *transfer, ATTEMPT *attempt)
{
    if (transfer->received < transfer->total)
        attempt->transient = true;
    else if (FinishVerify(&transfer->verifier, transfer->received))
        attempt->result = 0;
}

// Reads the body after what is kept into the .part, a piece at a time.
static void ReceiveBody(TRANSFER *transfer, HINTERNET hRequest, ATTEMPT *attempt)
{
    HANDLE hHeap = GetProcessHeap();
    BYTE *chunk = NULL;
    for (;;) {
        DWORD cbAvailable = 0;
        DWORD cbRead = 0;
        if (!WinHttp.QueryDataAvailable(hRequest, &cbAvailable)) {
            attempt->transient = true;
            break;
        }
        // The client reports a cut-off body as a normal end: only the count tells.
        if (cbAvailable == 0) {
            EndBody(transfer, attempt);
            break;
        }
        // More than announced can only end in failure; stop before it reaches the disk.
        if (cbAvailable > transfer->total - transfer->received)
            break;
        chunk = (BYTE *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, (SIZE_T)cbAvailable + 1);
        if (chunk == NULL)
            break;
        if (!WinHttp.ReadData(hRequest, chunk, cbAvailable, &cbRead) || cbRead == 0 || cbRead > cbAvailable) {
            attempt->transient = true;
            break;
        }
        // An answer that is not the package stops at its first bytes.
        if (!UpdateVerify(&transfer->verifier, transfer->received, chunk, cbRead) ||
            !AppendPart(&transfer->part, chunk, cbRead))
            break;
        HeapFree(hHeap, 0, chunk);
        chunk = NULL;
        transfer->received += cbRead;
        // Synchronous: the next chunk is requested only after the window shows this one.
        ReportProgress(transfer->received, transfer->total);
        if (transfer->received - transfer->part.checkpoint >= CB_CHECKPOINT)
            CheckpointPart(&transfer->part, transfer->validator, transfer->total, transfer->received);
    }
    if (chunk != NULL)
        HeapFree(hHeap, 0, chunk);
}

static void FollowAnswer(TRANSFER *transfer, const ANSWER *answer, HINTERNET hRequest, ATTEMPT *attempt)
{
    attempt->retryAfter = answer->retryAfter;
    switch (JudgeAnswer(answer, transfer->received, transfer->total, transfer->validator)) {
    case VERDICT_FULL_BODY:
        if (StartBody(transfer, answer))
            ReceiveBody(transfer, hRequest, attempt);
        break;
    case VERDICT_CONTINUE:
        if (CanTakePackageName())
            ReceiveBody(transfer, hRequest, attempt);
        break;
    case VERDICT_START_OVER:
        DropKeptBytes(transfer);
        attempt->transient = true;
        break;
    case VERDICT_RETRY:
        attempt->transient = true;
        break;
    case VERDICT_FAIL:
        break;
    }
}

// One request and what follows from its answer; everything it opened is closed again. A
// scheme other than http and https never reaches the network.
static void RunAttempt(TRANSFER *transfer, ATTEMPT *attempt)
{
    HTTP_REQUEST http = {NULL, NULL, NULL};
    ANSWER answer;
    attempt->result = 1;
    attempt->transient = false;
    attempt->retryAfter = NO_RETRY_AFTER;
    if (transfer->route.scheme != SCHEME_INVALID && SendRequest(transfer, &http, attempt) &&
        ReceiveAnswer(http.hRequest, &answer, attempt)) {
        transfer->route.answered = true;
        FollowAnswer(transfer, &answer, http.hRequest, attempt);
    }
    CloseRequest(&http);
}

// The package takes its name only whole and checked. A run cut off by the network keeps what
// a validator vouches for, for the next run; every other failure leaves nothing of its own.
static DWORD EndTransfer(TRANSFER *transfer, const ATTEMPT *attempt)
{
    DWORD result = attempt->result;
    if (result == 0 && !CompletePart(&transfer->part))
        result = 1;
    if (result != 0 && attempt->transient && AsksForRange(transfer->received, transfer->validator)) {
        CheckpointPart(&transfer->part, transfer->validator, transfer->total, transfer->received);
        KeepPart(&transfer->part);
    } else if (result != 0) {
        DiscardPart(&transfer->part);
    }
    EndVerify(&transfer->verifier);
    return result;
}

DWORD DownloadInstaller()
{
    TRANSFER transfer;
    ATTEMPT attempt;
    RETRY_STATE retry = {0, 0, 0, GetTickCount() ^ (GetCurrentProcessId() << 16)};
    BeginTransfer(&transfer);
    for (;;) {
        RunAttempt(&transfer, &attempt);
        if (!attempt.transient)
            break;
        // No answer yet by the client's route: the user's own proxy, if any, is tried at once.
        if (TakeUserProxy(&transfer.route))
            continue;
        if (!NextRetry(&retry, transfer.received))
            break;
        Sleep(RetryWaitMs(&retry, attempt.retryAfter));
    }
    return EndTransfer(&transfer, &attempt);
}
