#include <vector>

#include <gtest/gtest.h>

#include "download/core/RetryPolicy.h"

namespace {

// How one failed try ended, as the retry policy sees it; counts in units of the 16 KiB a try
// must bring to count as progress.
const uint32_t K = 16 * 1024;

struct Try {
    uint32_t reached;
    bool newVersion = false;
    uint32_t msAt = 0;  // when it ended
};

Try NewVersion(uint32_t reached)
{
    return {reached, true};
}

Try At(uint32_t ms, uint32_t reached)
{
    return {reached, false, ms};
}

TEST(RetryPolicy, GivesUpAfterThreeRetriesThatGetNoFurther)
{
    const struct {
        const char *label;
        std::vector<Try> tries;
        size_t gaveUpAfter;  // tries; 0: not within these
        uint32_t msSpan = 0;  // the time retries go on without progress; 0: three retries alone
    } rows[] = {
        {"never any byte", {{0}, {0}, {0}, {0}}, 4},
        {"first try got some", {{5 * K}, {5 * K}, {5 * K}, {5 * K}}, 4},
        {"each try further", {{K}, {2 * K}, {3 * K}, {4 * K}, {5 * K}, {6 * K}, {7 * K}, {8 * K}}, 0},
        {"progress starts the count again", {{K}, {K}, {K}, {2 * K}, {2 * K}, {2 * K}, {2 * K}}, 7},
        {"a restart without a validator must pass the furthest", {{5 * K}, {0}, {3 * K}, {6 * K}, {0}, {7 * K}}, 0},
        {"stalls below the furthest", {{5 * K}, {0}, {3 * K}, {5 * K - 1}}, 4},
        {"a new version counts from its own bytes", {{9 * K}, NewVersion(K), {2 * K}, {3 * K}, {4 * K}, {5 * K}}, 0},
        {"versions that keep changing give up", {{K}, NewVersion(K), NewVersion(K), NewVersion(K), NewVersion(K)}, 5},
        // Kept bytes of another version ran out the retries: the host's own package starts afresh.
        {"the first new version counts from its own first byte",
         {{9 * K}, {9 * K}, {9 * K}, NewVersion(2 * K), {2 * K}, {2 * K}}, 0},
        {"... and must bring 16 KiB too", {{9 * K}, {9 * K}, {9 * K}, NewVersion(K / 2)}, 4},
        // Tries the stall rule ended, each in its second window: what they brought counts at the
        // rate the rule asks, the windows included.
        {"a trickle is no progress", {{K}, At(120000, 2 * K), At(240000, 3 * K), At(360000, 4 * K)}, 4},
        {"a good stretch, then silence, each try", {{K}, At(120000, 5 * K), At(240000, 9 * K), At(360000, 13 * K)}, 0},
        {"a trickle sets the mark to beat", {{K}, At(60000, 4 * K), At(61000, 3 * K), At(62000, 5 * K), At(63000, 6 * K)}, 0},
        // A server that hands out a byte, or a little, a try would otherwise hold a run for days.
        {"a byte a try", {{1}, {2}, {3}, {4}}, 4},
        {"less than 16 KiB over three retries", {{K - 1}, {K}, {K + 1}, {2 * K - 2}}, 4},
        {"a little a try adds up", {{K}, {K + K / 2}, {2 * K}, {2 * K + K / 2}, {3 * K}, {3 * K + K / 2}}, 0},
        {"16 KiB a minute", {{K}, At(60000, 2 * K), At(120000, 3 * K), At(180000, 4 * K)}, 0},
        {"16 KiB a try, slower than the stall rule", {{K}, At(61000, 2 * K), At(122000, 3 * K), At(183000, 4 * K)}, 4},
        // Tries that bring nothing take their time too: the next progress must make up for it.
        {"fruitless tries in between", {{K}, At(60000, K), At(120000, K), At(121000, 2 * K), At(122000, 3 * K)}, 4},
        // A minute of retries before a host is left: a balancer's blackout and a restart pass.
        {"a balancer's 10 s of 502s", {At(0, 0), At(1000, 0), At(3000, 0), At(7000, 0), At(15000, 0)}, 0, 60000},
        {"a 30 s restart", {At(0, 0), At(1000, 0), At(3000, 0), At(7000, 0), At(15000, 0), At(31000, 0)}, 0, 60000},
        {"a minute without progress", {At(10000, 0), At(21000, 0), At(33000, 0), At(47000, 0), At(65000, 0), At(91000, 0)},
         6, 60000},
        {"the minute counts from the last progress",
         {At(0, K), At(50000, 2 * K), At(51000, 2 * K), At(52000, 2 * K), At(53000, 2 * K), At(111000, 2 * K)}, 6, 60000},
    };
    const uint32_t msSpan = TransferTiming.msRetrySpan;
    for (const auto &row : rows) {
        TransferTiming.msRetrySpan = row.msSpan;
        RETRY_STATE retry = {0, 0, 0, 1, 0, 0, false};
        size_t gaveUpAfter = 0;
        for (size_t i = 0; i < row.tries.size() && gaveUpAfter == 0; ++i) {
            TRY_OUTCOME outcome = {1, true, false, row.tries[i].newVersion, NO_RETRY_AFTER, false, false, false, false};
            if (!NextRetry(&retry, &outcome, row.tries[i].reached, row.tries[i].msAt))
                gaveUpAfter = i + 1;
        }
        EXPECT_EQ(row.gaveUpAfter, gaveUpAfter) << row.label;
    }
    TransferTiming.msRetrySpan = msSpan;
}

TEST(RetryPolicy, WaitsDoubleWithSpreadAndTheServersWishWithSpreadOnTop)
{
    const struct {
        const char *label;
        uint32_t stalls;
        uint32_t retryAfter;
        uint32_t low, high;  // every wait within these
        uint32_t spread;     // and at least this far apart over many
    } rows[] = {
        // About 1, 2, 4 and up to 32 s, a quarter either way, so a crowd cut off together comes
        // back apart.
        {"first retry", 0, NO_RETRY_AFTER, 750, 1250, 400},
        {"second retry", 1, NO_RETRY_AFTER, 1500, 2500, 800},
        {"third retry", 2, NO_RETRY_AFTER, 3000, 5000, 1600},
        {"sixth retry and later", 9, NO_RETRY_AFTER, 24000, 40000, 12800},
        // Never less than the server asked for, and a crowd told the same does not return in step.
        {"Retry-After: 30", 0, 30, 30000, 37500, 6000},
        {"Retry-After beyond the cap", 0, 120, 60000, 75000, 12000},
        // A shorter wish than the program's own wait: its own, or a minute of retries comes at once.
        {"Retry-After: 0", 2, 0, 3000, 5000, 1600},
        {"Retry-After: 1 after retries that got nowhere", 5, 1, 24000, 40000, 12800},
    };
    for (const auto &row : rows) {
        RETRY_STATE retry = {0, 0, row.stalls, 12345, 0, 0, false};
        uint32_t low = UINT32_MAX;
        uint32_t high = 0;
        for (int i = 0; i < 1000; ++i) {
            uint32_t ms = RetryWaitMs(&retry, row.retryAfter);
            low = ms < low ? ms : low;
            high = ms > high ? ms : high;
        }
        EXPECT_GE(low, row.low) << row.label;
        EXPECT_LE(high, row.high) << row.label;
        EXPECT_GE(high - low, row.spread) << row.label;
    }
}

TEST(RetryPolicy, StallWatchWantsSixteenKiBInEveryMinute)
{
    const uint32_t KIB = 1024;
    const struct {
        const char *label;
        uint32_t msStart;
        std::vector<std::pair<uint32_t, uint32_t>> pieces;  // ms after the start, bytes of the piece
        size_t stalledAt;                                  // the piece that stalls, from 1; 0: none
        uint32_t msLeft;                                   // then, how long the next piece may take
    } rows[] = {
        {"a fast body", 0, {{100, 64 * KIB}, {60000, 8936 * KIB}, {120000, 9000 * KIB}}, 0, 120000},
        {"a byte every 25 s", 0, {{25000, 1}, {50000, 1}, {75000, 1}}, 3, 0},
        {"just enough each minute", 0, {{59999, 16 * KIB}, {119999, 16 * KIB}, {179999, 16 * KIB}}, 0, 60001},
        {"one byte short in the second minute", 0, {{59999, 16 * KIB}, {119999, 16 * KIB - 1}, {120000, 1}}, 3, 0},
        {"a burst does not carry over", 0, {{30000, 100 * KIB}, {100000, 1}, {121000, 1}}, 3, 0},
        {"a piece that closes a window late does not save it", 0, {{30000, 1}, {61000, 16 * KIB}}, 2, 0},
        {"a window with nothing at all", 0, {{1000, 16 * KIB}, {121000, 16 * KIB}}, 2, 0},
        {"paced: 1, 1, then 16382 bytes, 29 s apart", 0,
         {{0, 1}, {29000, 1}, {58000, 16382}, {87000, 1}, {116000, 1}, {145000, 16382}}, 6, 0},
        {"paced: 4 KiB every 15 s is the floor", 0, {{0, 4 * KIB}, {15000, 4 * KIB}, {30000, 4 * KIB}, {45000, 4 * KIB}, {60000, 4 * KIB}},
         0, 60000},
        {"short so far: the window's end", 0, {{29000, 1}}, 0, 31000},
        {"across the tick counter's wrap", 0xFFFFF000u, {{30000, 1}, {60000, 1}}, 2, 0},
    };
    for (const auto &row : rows) {
        STALL_WATCH watch;
        BeginStallWatch(&watch, row.msStart);
        size_t stalledAt = 0;
        uint32_t msLast = row.msStart;
        for (size_t i = 0; i < row.pieces.size() && stalledAt == 0; ++i) {
            msLast = row.msStart + row.pieces[i].first;
            if (IsStalled(&watch, msLast, row.pieces[i].second))
                stalledAt = i + 1;
        }
        EXPECT_EQ(row.stalledAt, stalledAt) << row.label;
        if (stalledAt == 0) {
            EXPECT_EQ(row.msLeft, MsUntilStalled(&watch, msLast)) << row.label;
            // A wait that ends there, with nothing come, ends the try; a moment before, it does not.
            STALL_WATCH before = watch;
            EXPECT_FALSE(IsStalled(&before, msLast + row.msLeft - 1, 0)) << row.label;
            EXPECT_TRUE(IsStalled(&watch, msLast + row.msLeft, 0)) << row.label;
        }
    }
}

TEST(RetryPolicy, TransientErrorsAreTheNetworksOwn)
{
    // A firewall that drops packets (time-out), a name not resolved, refused, reset, closed
    // early, and a reset before any answer as one client reports it: the network may come back.
    for (uint32_t code : {12002u, 12007u, 12029u, 12030u, 12152u, 10054u})
        EXPECT_TRUE(IsTransientError(code)) << code;
    // A certificate refused, a redirect loop, a handle in the wrong state, a local file error.
    for (uint32_t code : {12157u, 12156u, 12019u, 5u})
        EXPECT_FALSE(IsTransientError(code)) << code;
}

}  // namespace
