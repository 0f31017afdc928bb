#include "RetryPolicy.h"

#include "HeaderScan.h"

// Written only by tests, before any transfer runs. The wait for an answer is what the client's
// own time-outs allow a try without one: 15 s for the name, 10 s for each of two addresses, 30 s
// to send and 30 s to receive.
TRANSFER_TIMING TransferTiming = {1000, 60000, 30000, 95000, 60000};

bool IsTransientError(uint32_t code)
{
    // The client's codes, as numbers: this file sees no platform header.
    switch (code) {
    case 12002:  // time-out
    case 12007:  // name not resolved
    case 12029:  // cannot connect
    case 12030:  // connection reset or aborted
    case 12152:  // closed before a whole answer arrived
    case 10053:  // the socket's own codes, which some clients pass on before any answer:
    case 10054:  // aborted, reset,
    case 10060:  // timed out
        return true;
    default:
        return false;
    }
}

bool IsTransientStatus(int32_t status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool NextRetry(RETRY_STATE *retry, const TRY_OUTCOME *outcome, uint32_t reached, uint32_t msNow)
{
    // The first try of another version counts from its own first byte, later ones from the
    // mark. The furthest count is never below the mark, so the subtraction cannot wrap.
    bool fresh = outcome->newVersion && !retry->versionChanged;
    uint32_t from = fresh ? 0 : retry->mark;
    bool further = retry->attempts > 0 && (fresh || reached > retry->furthest) && reached - from >= CB_STALL_MINIMUM &&
                   (uint64_t)(reached - from) * TransferTiming.msStallWindow >=
                       (uint64_t)CB_STALL_MINIMUM * (msNow - retry->msMark);
    retry->versionChanged = retry->versionChanged || outcome->newVersion;
    if (reached > retry->furthest || outcome->newVersion)
        retry->furthest = reached;
    // The first try is no retry: only later ones can stall. It sets the first mark.
    if (retry->attempts == 0 || further)
        retry->msMark = msNow;
    if (retry->attempts == 0 || further || outcome->newVersion)
        retry->mark = reached;
    if (retry->attempts > 0)
        retry->stalledRetries = further ? 0 : retry->stalledRetries + 1;
    ++retry->attempts;
    return retry->stalledRetries < MAX_STALLED_RETRIES || msNow - retry->msMark < TransferTiming.msRetrySpan;
}

static uint32_t NextRandom(RETRY_STATE *retry)
{
    uint32_t x = retry->random != 0 ? retry->random : 0x9E3779B9u;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    retry->random = x;
    return x;
}

// Up to the given number of quarters of base, evenly spread. A product and a shift, no 64-bit
// division: the shipped build carries no helper for one.
static uint32_t Spread(RETRY_STATE *retry, uint32_t base, uint32_t quarters)
{
    return (uint32_t)(((uint64_t)(base / 4 * quarters) * NextRandom(retry)) >> 32);
}

uint32_t RetryWaitMs(RETRY_STATE *retry, uint32_t retryAfter)
{
    uint32_t base = TransferTiming.msFirstWait << (retry->stalledRetries < 5 ? retry->stalledRetries : 5);
    // Three quarters of the base plus up to half of it: clients cut off together come back apart.
    uint32_t own = base / 4 * 3 + Spread(retry, base, 2);
    uint32_t wish = retryAfter != NO_RETRY_AFTER ? (retryAfter < MAX_RETRY_AFTER ? retryAfter : MAX_RETRY_AFTER) * 1000 : 0;
    // A shorter wish than the program's own wait is no reason to ask sooner: "Retry-After: 0"
    // would otherwise have a minute of retries come back to back.
    return retryAfter != NO_RETRY_AFTER && wish + wish / 4 > own ? wish + Spread(retry, wish, 1) : own;
}

void BeginStallWatch(STALL_WATCH *watch, uint32_t msNow)
{
    watch->msWindowStart = msNow;
    watch->cbWindow = 0;
}

bool IsStalled(STALL_WATCH *watch, uint32_t msNow, uint32_t cbPiece)
{
    uint32_t elapsed = msNow - watch->msWindowStart;
    bool stalled = false;
    if (elapsed >= TransferTiming.msStallWindow) {
        // The window closed before this piece; a whole one after it brought nothing at all.
        stalled = watch->cbWindow < CB_STALL_MINIMUM || elapsed / 2 >= TransferTiming.msStallWindow;
        watch->msWindowStart += TransferTiming.msStallWindow;
        watch->cbWindow = 0;
    }
    watch->cbWindow = cbPiece < UINT32_MAX - watch->cbWindow ? watch->cbWindow + cbPiece : UINT32_MAX;
    return stalled;
}

uint32_t MsUntilStalled(const STALL_WATCH *watch, uint32_t msNow)
{
    uint32_t elapsed = msNow - watch->msWindowStart;
    uint32_t windows = watch->cbWindow >= CB_STALL_MINIMUM ? 2 : 1;
    uint32_t end = TransferTiming.msStallWindow * windows;
    return elapsed < end ? end - elapsed : 0;
}
