#include "RetryPolicy.h"

#include <wchar.h>

// Written only by tests, before any transfer runs.
RETRY_TIMING RetryTiming = {1000};

bool IsTransientError(uint32_t code)
{
    // The client's codes, as numbers: this file sees no platform header.
    switch (code) {
    case 12002:  // time-out
    case 12007:  // name not resolved
    case 12029:  // cannot connect
    case 12030:  // connection reset or aborted
    case 12152:  // closed before a whole answer arrived
        return true;
    default:
        return false;
    }
}

bool IsTransientStatus(int32_t status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool AsksForRange(uint32_t received, const wchar_t *validator)
{
    return received > 0 && validator[0] != L'\0';
}

// The rest of exactly this package: starts where the kept bytes end, runs to its last byte,
// and, where the answer names a validator, it is ours. The last keeps a server that ignores
// If-Range but honours Range from splicing two versions of the package.
static bool FitsKeptBytes(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator)
{
    return answer->hasRange && answer->rangeFirst == received && answer->rangeLast == total - 1 &&
           answer->rangeTotal == total && answer->length == total - received &&
           (answer->validator[0] == L'\0' || wcscmp(answer->validator, validator) == 0);
}

ANSWER_VERDICT JudgeAnswer(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator)
{
    bool rangeAsked = AsksForRange(received, validator);
    if (answer->status == 206) {
        if (!rangeAsked)
            return VERDICT_FAIL;
        return FitsKeptBytes(answer, received, total, validator) ? VERDICT_CONTINUE : VERDICT_START_OVER;
    }
    // Here no failure: what is kept no longer matches what the server has.
    if (answer->status == 416)
        return rangeAsked ? VERDICT_START_OVER : VERDICT_FAIL;
    if (answer->status / 100 == 2)
        return answer->length != 0 ? VERDICT_FULL_BODY : VERDICT_FAIL;
    return IsTransientStatus(answer->status) ? VERDICT_RETRY : VERDICT_FAIL;
}

bool NextRetry(RETRY_STATE *retry, uint32_t reached)
{
    bool progressed = reached > retry->furthest;
    if (progressed)
        retry->furthest = reached;
    // The first try is no retry: only later ones can stall.
    if (retry->attempts > 0)
        retry->stalledRetries = progressed ? 0 : retry->stalledRetries + 1;
    ++retry->attempts;
    return retry->stalledRetries < MAX_STALLED_RETRIES;
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

uint32_t RetryWaitMs(RETRY_STATE *retry, uint32_t retryAfter)
{
    if (retryAfter != NO_RETRY_AFTER)
        return retryAfter * 1000;
    uint64_t base = (uint64_t)RetryTiming.msFirstWait << (retry->stalledRetries < 2 ? retry->stalledRetries : 2);
    // Three quarters of the base plus up to half of it: clients cut off together come back apart.
    return (uint32_t)(base * 3 / 4 + (base / 2) * NextRandom(retry) / UINT32_MAX);
}
