#include "Transfer.h"

#include <stdint.h>
#include <string.h>

#include "PartFile.h"
#include "Progress.h"
#include "PublisherSignature.h"
#include "Request.h"
#include "Route.h"
#include "Verify.h"
#include "core/HostPolicy.h"
#include "core/PackageTrust.h"
#include "core/ResumePolicy.h"
#include "core/RetryPolicy.h"
#include "platform/SystemLibraries.h"
#include "settings/Settings.h"
#include "text/PlainText.h"

// One run's download, across its hosts and tries.
struct TRANSFER {
    SERVER_LIST servers;               // in the order they are tried
    uint32_t current;                  // the one being tried
    bool mayAsk;                       // the settings read and the .part is free: else nothing goes out
    ROUTE route;                       // to the current host
    PART_FILE part;
    PACKAGE_VERIFIER verifier;
    uint32_t received;                 // bytes in the .part, every one of them verified
    uint32_t total;                    // the length of the body they belong to
    wchar_t validator[CCH_VALIDATOR];  // of the answer that began that body; empty: none
    bool bodyStarted;                  // a body of this run replaced what the .part held
    bool signatureHeld;                // keys built in: the current host's signature, checked
    bool signatureAskedAgain;          // the current host's was asked for a second time
    PACKAGE_SIGNATURE signature;
    HANDLE hPackage;                   // the package that passed the gate, held for the shell
};

// The current host is now where the kept bytes come from.
static void TakeSourceHere(TRANSFER *transfer)
{
    transfer->part.source = &transfer->servers.servers[transfer->current];
}

// The SHA-256 the package must have on the current host: the pin, else the signature's; NULL
// when neither applies.
static const uint8_t *ExpectedSha256(const TRANSFER *transfer)
{
    if (transfer->verifier.pinned)
        return transfer->verifier.pin;
    return transfer->signatureHeld ? transfer->signature.sha256 : NULL;
}

// Whether and how the kept bytes continue on the current host. Elsewhere a digest vouches only
// when the kept bytes are checked against the same one as this host's package.
static KEPT_VOUCHER Voucher(const TRANSFER *transfer)
{
    const uint8_t *expected = ExpectedSha256(transfer);
    bool pinned = expected != NULL && transfer->part.hasSha256 && memcmp(expected, transfer->part.sha256, CB_SHA256) == 0;
    return VoucherFor(transfer->received, transfer->validator,
                      transfer->part.source == &transfer->servers.servers[transfer->current], pinned);
}

static void RestartVerify(TRANSFER *transfer, bool *ok)
{
    EndVerify(&transfer->verifier);
    *ok = BeginVerify(&transfer->verifier) && *ok;
}

// A package the kept bytes make whole: kept by a run that could not give it its name, or
// brought by a try that broke after its last piece.
static bool IsWhole(const TRANSFER *transfer)
{
    return transfer->total != 0 && transfer->received == transfer->total;
}

// The next try asks for everything; the disk changes only once another body shows its first
// bytes.
static void AskForAllNextTime(TRANSFER *transfer)
{
    transfer->received = 0;
    transfer->validator[0] = L'\0';
}

// Picks up what an earlier run left, when it fits these settings and its bytes, read again
// from the disk, still read as the package; its host is then tried first. Otherwise the run
// starts from nothing at the main server. Settings that do not read (the package's path, the
// scheme, the mirrors, the pin) send nothing and touch no file: kept bytes wait for a run
// whose settings read.
static void BeginTransfer(TRANSFER *transfer)
{
    ZeroMemory(transfer, sizeof(*transfer));
    transfer->hPackage = INVALID_HANDLE_VALUE;
    InitPartFile(&transfer->part);
    bool readable = PackagePath[0] != L'\0' && ListServers(&BootstrapSettings, &transfer->servers) &&
                    ParseScheme(BootstrapSettings.ServerScheme) != SCHEME_INVALID;
    // From here the pin is known, for every host, whatever the run keeps.
    RestartVerify(transfer, &readable);
    RESUME_STATE state;
    int32_t source;
    bool kept = readable && OpenKeptPart(&transfer->part, &transfer->servers, &state, &source);
    // A .part held by another copy is that copy's download: asking for it again would help no one.
    transfer->mayAsk = readable && !transfer->part.heldElsewhere;
    // A state is a claim, never a proof: the bytes it counts are checked again.
    if (kept && VerifyKeptBytes(&transfer->part, &transfer->verifier, state.received)) {
        PutFirst(&transfer->servers, (uint32_t)source);
        TakeSourceHere(transfer);
        transfer->received = state.received;
        transfer->total = state.total;
        CopyText(transfer->validator, CCH_VALIDATOR, state.validator);
        // An older state names no digest: the pin is what its bytes were checked against.
        if (!transfer->part.hasSha256 && transfer->verifier.pinned) {
            transfer->part.hasSha256 = true;
            CopyMemory(transfer->part.sha256, transfer->verifier.pin, CB_SHA256);
        }
        // The bar starts where the kept bytes end.
        ReportProgress(transfer->received, transfer->total);
    } else if (readable) {
        DiscardPart(&transfer->part);
    }
}

// Another body begins: what the .part held goes, and the checks start again at its first byte.
static bool StartBody(TRANSFER *transfer, const ANSWER *answer)
{
    transfer->bodyStarted = true;
    transfer->received = 0;
    transfer->total = answer->length;
    CopyText(transfer->validator, CCH_VALIDATOR, answer->validator);
    TakeSourceHere(transfer);
    bool started = StartPart(&transfer->part, transfer->validator, transfer->total, ExpectedSha256(transfer));
    RestartVerify(transfer, &started);
    return started;
}

// Bytes that proved not to be the package are not kept for anyone.
static void DropBody(TRANSFER *transfer)
{
    DiscardPart(&transfer->part);
    AskForAllNextTime(transfer);
}

// The one gate before the package's name: the whole body, every byte of it taken in this run,
// passes every check that applies.
static bool PassesGate(TRANSFER *transfer)
{
    return FinishVerify(&transfer->verifier, transfer->total, transfer->signatureHeld ? &transfer->signature : NULL);
}

// The last piece is in: the body must be exactly as long as announced and pass the gate. One
// that fails the signature may be a package the host replaced after signing it.
static void EndBody(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    if (transfer->received < transfer->total) {
        attempt->transient = true;
    } else if (PassesGate(transfer)) {
        attempt->result = 0;
    } else {
        attempt->staleSignature = transfer->signatureHeld;
        DropBody(transfer);
    }
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
// not the package costs nothing, and may come from something on the way. True once they begin
// the new body.
static bool TakeHead(TRANSFER *transfer, const ANSWER *answer, HINTERNET hRequest, STALL_WATCH *watch,
                     TRY_OUTCOME *attempt)
{
    BYTE head[CB_PACKAGE_SIGNATURE];
    DWORD cbHead = answer->length < sizeof(head) ? answer->length : (DWORD)sizeof(head);
    if (!ReadExactly(hRequest, head, cbHead, watch, attempt))
        return false;
    attempt->refusedRoute = !MayBePackage(head, cbHead);
    if (attempt->refusedRoute)
        return false;
    attempt->newVersion = wcscmp(answer->validator, transfer->validator) != 0;
    attempt->local = !StartBody(transfer, answer);
    return !attempt->local && TakePiece(transfer, head, cbHead, attempt);
}

// Reads the rest of an answer's body, cbLeft bytes, into the .part, a piece at a time; the
// first cbSkip of them are kept bytes again, passed over.
static void ReceiveBody(TRANSFER *transfer, HINTERNET hRequest, uint32_t cbLeft, uint32_t cbSkip, STALL_WATCH *watch,
                        TRY_OUTCOME *attempt)
{
    HANDLE hHeap = GetProcessHeap();
    BYTE *chunk = NULL;
    for (;;) {
        DWORD cbAvailable = 0;
        DWORD cbRead = 0;
        if (!AwaitPiece(hRequest, watch, &cbAvailable, attempt))
            break;
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
        // A trickle that would never end is a broken connection; what it brought stays. The
        // piece that completes the body is judged with it, never as a stall.
        if (cbLeft > 0 && IsStalled(watch, GetTickCount(), cbRead)) {
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

static void FollowAnswer(TRANSFER *transfer, const ANSWER *answer, KEPT_VOUCHER voucher, HINTERNET hRequest,
                         TRY_OUTCOME *attempt)
{
    ANSWER_VERDICT verdict = JudgeAnswer(answer, transfer->received, transfer->total, transfer->validator, voucher);
    bool body = verdict == VERDICT_FULL_BODY || verdict == VERDICT_CONTINUE || verdict == VERDICT_READ_PAST_KEPT;
    // The package a signature names has its length: another is one the host replaced since.
    uint32_t length = verdict == VERDICT_CONTINUE ? answer->rangeTotal : answer->length;
    attempt->staleSignature = body && transfer->signatureHeld && length != transfer->signature.length;
    // A package name that cannot be taken is this machine's failure, whoever answers.
    attempt->local = body && !attempt->staleSignature && !CanTakePackageName();
    // A length this volume cannot hold costs no byte: another host may announce the right one.
    bool room = !body || HasRoomFor(&transfer->part, BytesToWrite(verdict, answer, transfer->received),
                                    verdict == VERDICT_FULL_BODY);
    if (attempt->local || attempt->staleSignature || !room)
        return;
    STALL_WATCH watch;
    BeginStallWatch(&watch, GetTickCount());
    switch (verdict) {
    case VERDICT_FULL_BODY:
        if (TakeHead(transfer, answer, hRequest, &watch, attempt))
            ReceiveBody(transfer, hRequest, answer->length - transfer->received, 0, &watch, attempt);
        break;
    case VERDICT_CONTINUE:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, hRequest, answer->length, 0, &watch, attempt);
        break;
    case VERDICT_READ_PAST_KEPT:
        ContinueHere(transfer, answer);
        ReceiveBody(transfer, hRequest, answer->length, transfer->received, &watch, attempt);
        break;
    case VERDICT_START_OVER:
        AskForAllNextTime(transfer);
        attempt->transient = true;
        break;
    case VERDICT_RETRY:
        attempt->transient = true;
        break;
    case VERDICT_FAIL:
        break;
    }
}

// With keys built in, the host's signature, checked, before any byte of the package is asked
// for. A pin must name the same package; kept bytes of another package are not continued.
static bool TakeSignature(TRANSFER *transfer, HTTP_REQUEST *http, TRY_OUTCOME *attempt)
{
    if (PackageTrust.keyCount == 0 || transfer->signatureHeld)
        return true;
    PACKAGE_SIGNATURE *signature = &transfer->signature;
    transfer->signatureHeld =
        FetchSignature(http, &transfer->route, signature, attempt) &&
        (!transfer->verifier.pinned || memcmp(transfer->verifier.pin, signature->sha256, CB_SHA256) == 0);
    if (transfer->signatureHeld && transfer->received > 0 &&
        (transfer->total != signature->length ||
         (transfer->part.hasSha256 && memcmp(transfer->part.sha256, signature->sha256, CB_SHA256) != 0)))
        AskForAllNextTime(transfer);
    return transfer->signatureHeld;
}

// Asks for the package, only for the rest when bytes are kept, and follows the answer.
static void AskForPackage(TRANSFER *transfer, HTTP_REQUEST *http, TRY_OUTCOME *attempt)
{
    wchar_t range[CCH_VALIDATOR + 64];
    const wchar_t *headers = NULL;
    ANSWER answer;
    KEPT_VOUCHER voucher = Voucher(transfer);
    if (voucher != VOUCHED_BY_NOTHING &&
        FormatRangeRequest(range, sizeof(range) / sizeof(range[0]), transfer->received, transfer->validator, voucher))
        headers = range;
    if (AskFor(http, &transfer->route, BootstrapSettings.MsiServerPath, headers, &answer, attempt))
        FollowAnswer(transfer, &answer, voucher, http->hRequest, attempt);
}

// One try at the current host and what follows from its answers; everything it opened is
// closed again. A scheme other than http and https never reaches the network. A whole .part
// is checked again and never asked for; one that fails the gate goes, and the host is asked.
static void RunAttempt(TRANSFER *transfer, TRY_OUTCOME *attempt)
{
    HTTP_REQUEST http = {NULL, NULL, NULL};
    ZeroMemory(attempt, sizeof(*attempt));
    attempt->result = 1;
    attempt->retryAfter = NO_RETRY_AFTER;
    attempt->local = !transfer->mayAsk;
    if (!attempt->local && OpenSessionFor(&transfer->route, &http, attempt) && TakeSignature(transfer, &http, attempt)) {
        if (IsWhole(transfer) && PassesGate(transfer)) {
            attempt->result = 0;
        } else {
            if (IsWhole(transfer))
                DropBody(transfer);
            AskForPackage(transfer, &http, attempt);
        }
    }
    // The server's own answer shows the way to it works; one that may come from something on
    // the way shows nothing.
    transfer->route.choice.answered = transfer->route.choice.answered || (attempt->answered && !attempt->refusedRoute);
    CloseRequest(&http);
}

// The package takes its name only through the gate. A failed run leaves the .part and its
// state for the next whenever a validator vouches for what it holds, and what an earlier run
// left as it was unless a body of this run replaced it.
static DWORD EndTransfer(TRANSFER *transfer, const TRY_OUTCOME *attempt)
{
    DWORD result = attempt->result;
    if (result == 0) {
        if (!CompletePart(&transfer->part, &transfer->verifier, transfer->validator, transfer->total,
                          &transfer->hPackage))
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
    RETRY_STATE retry = {0, 0, 0, GetTickCount() ^ (GetCurrentProcessId() << 16), 0, 0};
    BeginRoute(&transfer->route, &transfer->servers.servers[transfer->current]);
    transfer->signatureHeld = false;
    transfer->signatureAskedAgain = false;
    for (;;) {
        RunAttempt(transfer, attempt);
        // A package replaced since it was signed: the signature is asked for once more.
        if (attempt->staleSignature && !transfer->signatureAskedAgain) {
            transfer->signatureAskedAgain = true;
            transfer->signatureHeld = false;
            continue;
        }
        // An answer that is not the package may be a block page or a proxy on the way: the other
        // way, once, before the host is given up.
        if (attempt->refusedRoute && TakeOtherRoute(&transfer->route))
            continue;
        if (!attempt->transient)
            break;
        // No answer yet by the client's route: the user's own proxy, if any, is tried at once.
        if (TakeUserProxy(&transfer->route))
            continue;
        if (!NextRetry(&retry, attempt, transfer->received, GetTickCount()))
            break;
        SwitchRoute(&transfer->route);
        Sleep(RetryWaitMs(&retry, attempt->retryAfter));
    }
}

DWORD DownloadInstaller(HANDLE *phPackage)
{
    TRANSFER transfer;
    TRY_OUTCOME attempt;
    BeginTransfer(&transfer);
    TryHost(&transfer, &attempt);
    // A failure another host may mend goes on to the next, in order.
    while (LeavesForNextHost(&attempt) && ++transfer.current < transfer.servers.count)
        TryHost(&transfer, &attempt);
    DWORD result = EndTransfer(&transfer, &attempt);
    if (phPackage != NULL)
        *phPackage = transfer.hPackage;
    else if (transfer.hPackage != INVALID_HANDLE_VALUE)
        CloseHandle(transfer.hPackage);
    return result;
}
