// Which failures are worth another try, how long to wait before it, and when a try has stalled.
// No platform calls.
#pragma once

#include <stdint.h>

#include "HeaderScan.h"

// The waits of a transfer. Constant in the program; tests shorten them.
struct TRANSFER_TIMING {
    uint32_t msFirstWait;    // between tries; then twice as long each time, to 32 times, with some spread
    uint32_t msStallWindow;  // each such stretch of a body must bring CB_STALL_MINIMUM bytes
    uint32_t msProxySearch;  // the longest the user waits on a proxy script or detection
    uint32_t msAnswerWait;   // a request, from its sending, must have its answer's whole head
                             // (redirects followed) within this
    uint32_t msRetrySpan;    // retries without progress go on at least this long: a blackout of
                             // a balancer or a restart is outlasted
};
extern TRANSFER_TIMING TransferTiming;

// Retries in a row that bring the download no further before the transfer gives up.
enum { MAX_STALLED_RETRIES = 3 };
// A try that brings fewer bytes than this in a stall window is a broken connection.
enum { CB_STALL_MINIMUM = 16 * 1024 };

// True for the platform codes of a network that may come back: a name not resolved, no
// connection, a time-out, a connection reset or closed before a whole answer.
bool IsTransientError(uint32_t code);

// True for the answers that say "later": 408, 429, 500, 502, 503, 504.
bool IsTransientStatus(int32_t status);

// How one try ended.
struct TRY_OUTCOME {
    uint32_t result;      // 0; the platform's code before the body; else 1
    bool transient;       // worth another try
    bool local;           // this machine's own failure (the package name, the disk): no host mends it
    bool newVersion;      // began the body of another version than the one kept (another
                          // validator): progress is counted from it
    uint32_t retryAfter;  // seconds the server asked for, or NO_RETRY_AFTER
    bool answered;        // an answer came (the route reaches something)
    bool refusedRoute;    // ... that was not the package: it may come from something on the way
    bool staleSignature;  // the package answered is not the one the host's signature names
    bool keptBytesUnfit;  // the kept bytes do not fit this host's package: a range answered for
                          // another, or a body that continued them failed the checks (the kept
                          // part may be what is wrong: another host's, another version's)
};

// The tries of one run. Start with RETRY_STATE retry = {0, 0, 0, seed, 0, 0, false}.
struct RETRY_STATE {
    uint32_t attempts;        // tries so far
    uint32_t furthest;        // the highest count a try of the current body reached
    uint32_t stalledRetries;  // retries in a row that got no further
    uint32_t random;          // spreads the waits; any seed but 0
    uint32_t mark;            // the count at the last progress, or after the first try
    uint32_t msMark;          // when that was
    bool versionChanged;      // a try began another version than the one kept
};

// After a try that failed for a transient reason, msNow, with the count at reached: false once
// MAX_STALLED_RETRIES retries in a row have made no progress and msRetrySpan has passed since
// the last progress (or the first try's end). Progress is a count beyond the
// furthest so far and at least CB_STALL_MINIMUM beyond the last progress, brought at least as
// fast as the stall rule asks of a body, counted from the last progress (failed tries and
// waits included): a server that hands out a little a try uses the retries up. A try that
// began another version is progress only beyond the furthest count so far, but its own count
// is the one to beat from then on; the first such try counts from its own first byte (the
// kept bytes were another version's: the download starts again), later ones do not (a host
// that swaps versions every try gets no further).
bool NextRetry(RETRY_STATE *retry, const TRY_OUTCOME *outcome, uint32_t reached, uint32_t msNow);

// The wait before the next try: about 1, 2, 4 and up to 32 times msFirstWait as retries stall,
// spread by up to a quarter either way; where the server named a longer wait, that (at most
// MAX_RETRY_AFTER s) and up to a quarter more, so that a crowd told the same does not return
// in step.
uint32_t RetryWaitMs(RETRY_STATE *retry, uint32_t retryAfter);

// Bytes of one try's body in consecutive windows of msStallWindow from its start, each counting
// only what arrived within it.
struct STALL_WATCH {
    uint32_t msWindowStart;
    uint32_t cbWindow;
};

// Starts the first window at msNow.
void BeginStallWatch(STALL_WATCH *watch, uint32_t msNow);

// A piece of cbPiece bytes arrived at msNow (0: none, the wait for one ended): true when a window
// that closed before it brought fewer than CB_STALL_MINIMUM bytes. A piece that comes late
// counts for the window it came in, never for the one it would have saved. Tick counts may wrap.
bool IsStalled(STALL_WATCH *watch, uint32_t msNow, uint32_t cbPiece);

// How long from msNow the next piece may take before the rule ends the try: to the end of the
// current window while it is short, else to the end of the next.
uint32_t MsUntilStalled(const STALL_WATCH *watch, uint32_t msNow);
