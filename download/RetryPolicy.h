// Which failures are worth another try, how long to wait before it, and what an answer means
// for the bytes already kept. No platform calls.
#pragma once

#include <stdint.h>

#include "HeaderScan.h"

// The waits between tries. Constant in the program; tests shorten them.
struct RETRY_TIMING {
    uint32_t msFirstWait;  // then twice and four times as long, each with some spread
};
extern RETRY_TIMING RetryTiming;

// Retries in a row that bring the download no further before the transfer gives up.
enum { MAX_STALLED_RETRIES = 3 };

// True for the platform codes of a network that may come back: a name not resolved, no
// connection, a time-out, a connection reset or closed before any answer.
bool IsTransientError(uint32_t code);

// True for the answers that say "later": 408, 429, 500, 502, 503, 504.
bool IsTransientStatus(int32_t status);

// A request asks only for the rest when bytes are kept and a validator vouches for them.
bool AsksForRange(uint32_t received, const wchar_t *validator);

enum ANSWER_VERDICT {
    VERDICT_FULL_BODY,   // the whole package from its first byte, whatever is kept
    VERDICT_CONTINUE,    // exactly the rest of the package whose first received bytes are kept
    VERDICT_START_OVER,  // a range answered otherwise: drop what is kept and ask again, whole
    VERDICT_RETRY,       // the server asks to come back later
    VERDICT_FAIL,        // no package here: an error status, no usable length, a stray 206
};

// What an answer means when received bytes of a total-byte package are kept under validator
// (empty: none, and then the request carried no range).
ANSWER_VERDICT JudgeAnswer(const ANSWER *answer, uint32_t received, uint32_t total, const wchar_t *validator);

// The tries of one run. Start with RETRY_STATE retry = {0, 0, 0, seed}.
struct RETRY_STATE {
    uint32_t attempts;        // tries so far
    uint32_t furthest;        // the highest count any try reached
    uint32_t stalledRetries;  // retries in a row that got no further
    uint32_t random;          // spreads the waits; any seed but 0
};

// After a try that failed for a transient reason and left the count at reached: false once
// MAX_STALLED_RETRIES retries in a row have brought no byte beyond the furthest count.
bool NextRetry(RETRY_STATE *retry, uint32_t reached);

// The wait before the next try: retryAfter seconds when the server named them, else about
// 1, 2 and 4 times msFirstWait as retries stall, spread by up to a quarter either way.
uint32_t RetryWaitMs(RETRY_STATE *retry, uint32_t retryAfter);
