#include "Transfer.h"

#include <stdint.h>

#include "core/HeaderScan.h"
#include "core/HostPolicy.h"
#include "PartFile.h"
#include "Progress.h"
#include "core/ResumePolicy.h"
#include "core/RetryPolicy.h"
#include "Route.h"
#include "Verify.h"
#include "platform/SystemLibraries.h"
#include "settings/Settings.h"
#include "text/PlainText.h"

// One run's download, across its hosts and tries.
struct TRANSFER {
    SERVER_LIST servers;               // in the order they are tried
    uint32_t current;                  // the one being tried
    bool settingsValid;                // the scheme and the mirror list read: else nothing goes out
    ROUTE route;                       // to the current host
    PART_FILE part;
    PACKAGE_VERIFIER verifier;
    uint32_t received;                 // bytes in the .part, every one of them verified
    uint32_t total;                    // the length of the body they belong to
    wchar_t validator[CCH_VALIDATOR];  // of the answer that began that body; empty: none
    bool bodyStarted;                  // a body of this run replaced what the .part held
};

struct HTTP_REQUEST {
    HINTERNET hSession;
    HINTERNET hConnect;
    HINTERNET hRequest;
};

// Read right after the failing call, before any cleanup can overwrite it. A failure
// must never read as success, should the platform leave no code.
static void PlatformFailure(TRY_OUTCOME *attempt)
{
    DWORD error = GetLastError();
    attempt->result = error != 0 ? error : 1;
    attempt->transient = IsTransientError(attempt->result);
}

// The current host is now where the kept bytes come from.
static void TakeSourceHere(TRANSFER *transfer)
{
    transfer->part.source = &transfer->servers.servers[transfer->current];
}

// Whether and how the kept bytes continue on the current host.
static KEPT_VOUCHER Voucher(const TRANSFER *transfer)
{
    return VoucherFor(transfer->received, transfer->validator,
                      transfer->part.source == &transfer->servers.servers[transfer->current],
                      BootstrapSettings.MsiSha256[0] != L'\0');
}

static void RestartVerify(TRANSFER *transfer, bool *ok)
{
    EndVerify(&transfer->verifier);
    *ok = BeginVerify(&transfer->verifier) && *ok;
}

// A package the kept bytes make whole, kept by a run that could not give it its name.
static bool IsWhole(const TRANSFER *transfer)
{
    return transfer->total != 0 && transfer->received == transfer->total;
}

// Picks up what an earlier run left, when it fits these settings and still reads as the
// package (to its end, when it is whole), and then tries its host first; otherwise the run
// starts from nothing at the main server.
static void BeginTransfer(TRANSFER *transfer)
{
    ZeroMemory(transfer, sizeof(*transfer));
    transfer->settingsValid = ListServers(&BootstrapSettings, &transfer->servers) &&
                              ParseScheme(BootstrapSettings.ServerScheme) != SCHEME_INVALID;
    InitPartFile(&transfer->part);
    RESUME_STATE state;
    int32_t source;
    bool kept = OpenKeptPart(&transfer->part, &transfer->servers, &state, &source);
    if (kept)
        RestartVerify(transfer, &kept);
    if (kept && VerifyKeptBytes(&transfer->part, &transfer->verifier, state.received) &&
        (state.received < state.total || FinishVerify(&transfer->verifier, state.total))) {
        PutFirst(&transfer->servers, (uint32_t)source);
        TakeSourceHere(transfer);
        transfer->received = state.received;
        transfer->total = state.total;
        CopyText(transfer->validator, CCH_VALIDATOR, state.validator);
        // The bar starts where the kept bytes end.
        ReportProgress(transfer->received, transfer->total);
    } else {
        DiscardPart(&transfer->part);
    }
}

// Session, connection and request, sent; asking only for the rest when bytes are kept.
static bool SendRequest(const TRANSFER *transfer, HTTP_REQUEST *http, TRY_OUTCOME *attempt)
{
    wchar_t range[CCH_VALIDATOR + 64];
    const wchar_t *headers = WINHTTP_NO_ADDITIONAL_HEADERS;
    KEPT_VOUCHER voucher = Voucher(transfer);
    if (voucher != VOUCHED_BY_NOTHING &&
        FormatRangeRequest(range, sizeof(range) / sizeof(range[0]), transfer->received, transfer->validator, voucher))
        headers = range;
    const ROUTE *route = &transfer->route;
    bool sent =
        LoadWinHttp() && (http->hSession = OpenSession(route)) != NULL &&
        (http->hConnect = WinHttp.Connect(http->hSession, route->host, route->port, 0)) != NULL &&
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
static bool ReceiveAnswer(HINTERNET hRequest, ANSWER *answer, TRY_OUTCOME *attempt)
{
    bool scanned = false;
    wchar_t *headers = NULL;
    DWORD cbHeaders = 0;
    DWORD cchHeaders;
    BOOL sized;
    // The receive's own code says whether the network may come back; the size query after a
    // failed receive would only say that no answer is there.
    if (!WinHttp.ReceiveResponse(hRequest, NULL)) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    sized = WinHttp.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, NULL,
                                 &cbHeaders, WINHTTP_NO_HEADER_INDEX);
    if (sized || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        PlatformFailure(attempt);
        goto Cleanup;
    }
    // One spare character keeps the text terminated whatever the second query writes.
    cchHeaders = cbHeaders / sizeof(wchar_t);
    headers = (wchar_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (cchHeaders + 1) * sizeof(wchar_t));
    if (headers == NULL) {
        attempt->local = true;
        goto Cleanup;
    }
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

// Another body begins: what the .part held goes, and the checks start again at its first byte.
static bool StartBody(TRANSFER *transfer, const ANSWER *answer)
{
    transfer->bodyStarted = true;
    transfer->received = 0;
    transfer->total = answer->length;
    CopyText(transfer->validator, CCH_VALIDATOR, answer->validator);
    TakeSourceHere(transfer);
    bool started = StartPart(&transfer->part, transfer->validator, transfer->total);
    RestartVerify(transfer, &started);
    return started;
}

// Bytes that proved not to be the package are not kept for anyone.
static void DropBody(TRANSFER *transfer)
{
    DiscardPart(&transfer->part);
    transfer->received = 0;
    transfer->validator[0] = L'\0';
}

// The last piece is in: the body must be exactly as long as announced and pass every check.
static void EndBody(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    if (transfer->received < transfer->total)
        attempt->transient = true;
    else if (FinishVerify(&transfer->verifier, transfer->received))
        attempt->result = 0;
    else
        DropBody(transfer);
}

// Verified, written, shown and, every few MiB, recorded.
static bool TakePiece(TRANSFER *transfer, const BYTE *data, DWORD cb, TRY_OUTCOME *attempt)
{
    // An answer that is not the package stops at its first bytes.
    if (!UpdateVerify(&transfer->verifier, transfer->received, data, cb))
        return false;
    if (!AppendPart(&transfer->part, data, cb)) {
        attempt->local = true;
        return false;
    }
    transfer->received += cb;
    // Synchronous: the next chunk is requested only after the window shows this one.
    ReportProgress(transfer->received, transfer->total);
    CheckpointIfDue(&transfer->part, transfer->validator, transfer->total, transfer->received);
    return true;
}

// The first bytes of another body decide whether it may replace what is kept: a page that is
// not the package costs nothing. True once they begin the new body.
static bool TakeHead(TRANSFER *transfer, const ANSWER *answer, HINTERNET hRequest, TRY_OUTCOME *attempt)
{
    BYTE head[CB_PACKAGE_SIGNATURE];
    DWORD cbHead = answer->length < sizeof(head) ? answer->length : (DWORD)sizeof(head);
    DWORD cbGot = 0;
    DWORD cbRead = 0;
    // A read may bring fewer bytes than asked.
    while (cbGot < cbHead && WinHttp.ReadData(hRequest, head + cbGot, cbHead - cbGot, &cbRead) && cbRead > 0)
        cbGot += cbRead;
    if (cbGot < cbHead) {
        attempt->transient = true;
        return false;
    }
    if (!MayBePackage(head, cbHead))
        return false;
    attempt->newVersion = wcscmp(answer->validator, transfer->validator) != 0;
    attempt->local = !StartBody(transfer, answer);
    return !attempt->local && TakePiece(transfer, head, cbHead, attempt);
}

// Reads the rest of an answer's body, cbLeft bytes, into the .part, a piece at a time; the
// first cbSkip of them are kept bytes again, passed over.
static void ReceiveBody(TRANSFER *transfer, HINTERNET hRequest, uint32_t cbLeft, uint32_t cbSkip, TRY_OUTCOME *attempt)
{
    HANDLE hHeap = GetProcessHeap();
    BYTE *chunk = NULL;
    uint32_t cbTry = 0;
    STALL_WATCH watch;
    BeginStallWatch(&watch, GetTickCount(), 0);
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
        if (cbAvailable > cbLeft)
            break;
        chunk = (BYTE *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, (SIZE_T)cbAvailable + 1);
        if (chunk == NULL) {
            attempt->local = true;
            break;
        }
        if (!WinHttp.ReadData(hRequest, chunk, cbAvailable, &cbRead) || cbRead == 0 || cbRead > cbAvailable) {
            attempt->transient = true;
            break;
        }
        DWORD cbSkipped = cbRead < cbSkip ? cbRead : cbSkip;
        if (!TakePiece(transfer, chunk + cbSkipped, cbRead - cbSkipped, attempt))
            break;
        HeapFree(hHeap, 0, chunk);
        chunk = NULL;
        cbSkip -= cbSkipped;
        cbLeft -= cbRead;
        cbTry += cbRead;
        // A trickle that would never end is a broken connection; what it brought stays.
        if (IsStalled(&watch, GetTickCount(), cbTry)) {
            attempt->transient = true;
            attempt->stalled = true;
            break;
        }
    }
    if (chunk != NULL)
        HeapFree(hHeap, 0, chunk);
}

// Bytes kept from one host continue with another's: that host is their source from now on,
// under its own name for the package where it gives one.
static void ContinueHere(TRANSFER *transfer, const ANSWER *answer)
{
    if (answer->validator[0] != L'\0')
        CopyText(transfer->validator, CCH_VALIDATOR, answer->validator);
    TakeSourceHere(transfer);
}

static void FollowAnswer(TRANSFER *transfer, const ANSWER *answer, HINTERNET hRequest, TRY_OUTCOME *attempt)
{
    attempt->retryAfter = answer->retryAfter;
    ANSWER_VERDICT verdict = JudgeAnswer(answer, transfer->received, transfer->total, transfer->validator, Voucher(transfer));
    // A package name that cannot be taken is this machine's failure, whoever answers.
    attempt->local = (verdict == VERDICT_FULL_BODY || verdict == VERDICT_CONTINUE || verdict == VERDICT_READ_PAST_KEPT) &&
                     !CanTakePackageName();
    if (attempt->local)
        return;
    switch (verdict) {
    case VERDICT_FULL_BODY:
        if (TakeHead(transfer, answer, hRequest, attempt))
            ReceiveBody(transfer, hRequest, answer->length - transfer->received, 0, attempt);
        break;
    case VERDICT_CONTINUE:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, hRequest, answer->length, 0, attempt);
        break;
    case VERDICT_READ_PAST_KEPT:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, hRequest, answer->length, transfer->received, attempt);
        break;
    case VERDICT_START_OVER:
        // The next try asks for everything; the disk changes only once another body shows
        // its first bytes.
        transfer->received = 0;
        transfer->validator[0] = L'\0';
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
static void RunAttempt(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    HTTP_REQUEST http = {NULL, NULL, NULL};
    ANSWER answer;
    ZeroMemory(attempt, sizeof(*attempt));
    attempt->result = 1;
    attempt->retryAfter = NO_RETRY_AFTER;
    attempt->local = !transfer->settingsValid;
    if (IsWhole(transfer)) {
        attempt->result = 0;
    } else if (transfer->settingsValid && SendRequest(transfer, &http, attempt) &&
               ReceiveAnswer(http.hRequest, &answer, attempt)) {
        transfer->route.answered = true;
        FollowAnswer(transfer, &answer, http.hRequest, attempt);
    }
    CloseRequest(&http);
}

// The package takes its name only whole and checked. A failed run leaves the .part and its
// state for the next whenever a validator vouches for what it holds, and what an earlier run
// left as it was unless a body of this run replaced it.
static DWORD EndTransfer(TRANSFER *transfer, const TRY_OUTCOME *attempt)
{
    DWORD result = attempt->result;
    if (result == 0) {
        if (!CompletePart(&transfer->part, transfer->validator, transfer->total))
            result = 1;
    } else if (IsResumable(transfer->received, transfer->validator)) {
        CheckpointPart(&transfer->part, transfer->validator, transfer->total, transfer->received);
        KeepPart(&transfer->part);
    } else if (transfer->bodyStarted) {
        DiscardPart(&transfer->part);
    } else {
        KeepPart(&transfer->part);
    }
    EndVerify(&transfer->verifier);
    return result;
}

// The tries of the current host, through its own route, as long as its retries last.
static void TryHost(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    RETRY_STATE retry = {0, 0, 0, GetTickCount() ^ (GetCurrentProcessId() << 16)};
    BeginRoute(&transfer->route, &transfer->servers.servers[transfer->current]);
    for (;;) {
        RunAttempt(transfer, attempt);
        if (!attempt->transient)
            break;
        // No answer yet by the client's route: the user's own proxy, if any, is tried at once.
        if (TakeUserProxy(&transfer->route))
            continue;
        if (!NextRetry(&retry, attempt, transfer->received))
            break;
        SwitchRoute(&transfer->route);
        Sleep(RetryWaitMs(&retry, attempt->retryAfter));
    }
}

DWORD DownloadInstaller()
{
    TRANSFER transfer;
    TRY_OUTCOME attempt;
    BeginTransfer(&transfer);
    TryHost(&transfer, &attempt);
    // A failure another host may mend goes on to the next, in order.
    while (LeavesForNextHost(&attempt) && ++transfer.current < transfer.servers.count)
        TryHost(&transfer, &attempt);
    return EndTransfer(&transfer, &attempt);
}
