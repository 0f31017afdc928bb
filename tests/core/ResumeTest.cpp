#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/ResumeText.h"
#include "download/RetryPolicy.h"

namespace {

ANSWER Answer(int32_t status, uint32_t length, const wchar_t *validator = L"", const char *range = "")
{
    ANSWER answer = {};
    answer.status = status;
    answer.length = length;
    std::wstring(validator).copy(answer.validator, CCH_VALIDATOR - 1);
    answer.hasRange = sscanf(range, "%u-%u/%u", &answer.rangeFirst, &answer.rangeLast, &answer.rangeTotal) == 3;
    answer.retryAfter = NO_RETRY_AFTER;
    return answer;
}

TEST(RetryPolicy, JudgeAnswerKeepsOnlyTheRestOfTheSamePackage)
{
    const struct {
        const char *label;
        ANSWER answer;
        uint32_t received;  // of a 100-byte package under "v1", or under no validator
        bool validator;
        ANSWER_VERDICT expected;
    } rows[] = {
        {"first answer", Answer(200, 100), 0, false, VERDICT_FULL_BODY},
        {"2xx without a length", Answer(200, 0), 0, false, VERDICT_FAIL},
        {"the rest", Answer(206, 60, L"\"v1\"", "40-99/100"), 40, true, VERDICT_CONTINUE},
        {"the rest, no validator named", Answer(206, 60, L"", "40-99/100"), 40, true, VERDICT_CONTINUE},
        {"range ignored", Answer(200, 100), 40, true, VERDICT_FULL_BODY},
        {"another start", Answer(206, 70, L"\"v1\"", "30-99/100"), 40, true, VERDICT_START_OVER},
        {"short of the end", Answer(206, 50, L"\"v1\"", "40-89/100"), 40, true, VERDICT_START_OVER},
        {"another total", Answer(206, 60, L"\"v1\"", "40-99/101"), 40, true, VERDICT_START_OVER},
        {"length that disagrees", Answer(206, 61, L"\"v1\"", "40-99/100"), 40, true, VERDICT_START_OVER},
        {"no Content-Range", Answer(206, 60, L"\"v1\""), 40, true, VERDICT_START_OVER},
        {"another version", Answer(206, 60, L"\"v2\"", "40-99/100"), 40, true, VERDICT_START_OVER},
        {"416 to a range", Answer(416, 0), 40, true, VERDICT_START_OVER},
        {"416 unasked", Answer(416, 0), 0, false, VERDICT_FAIL},
        {"206 unasked", Answer(206, 60, L"", "40-99/100"), 40, false, VERDICT_FAIL},
        {"503", Answer(503, 10), 40, true, VERDICT_RETRY},
        {"500", Answer(500, 10), 0, false, VERDICT_RETRY},
        {"404", Answer(404, 10), 40, true, VERDICT_FAIL},
        {"a redirect not followed", Answer(308, 0), 0, false, VERDICT_FAIL},
        {"no status", Answer(0, 10), 0, false, VERDICT_FAIL},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, JudgeAnswer(&row.answer, row.received, 100, row.validator ? L"\"v1\"" : L"")) << row.label;
}

TEST(RetryPolicy, GivesUpAfterThreeRetriesThatGetNoFurther)
{
    const struct {
        const char *label;
        std::vector<uint32_t> reached;  // the count after each failed try
        size_t gaveUpAfter;             // tries; 0: not within these
    } rows[] = {
        {"never any byte", {0, 0, 0, 0}, 4},
        {"first try got some", {50, 50, 50, 50}, 4},
        {"each try further", {10, 20, 30, 40, 50, 60, 70, 80}, 0},
        {"progress starts the count again", {10, 10, 10, 20, 20, 20, 20}, 7},
        {"a start over must pass the furthest", {50, 0, 30, 60, 0, 70}, 0},
        {"stalls below the furthest", {50, 0, 30, 49}, 4},
    };
    for (const auto &row : rows) {
        RETRY_STATE retry = {0, 0, 0, 1};
        size_t gaveUpAfter = 0;
        for (size_t i = 0; i < row.reached.size() && gaveUpAfter == 0; ++i) {
            if (!NextRetry(&retry, row.reached[i]))
                gaveUpAfter = i + 1;
        }
        EXPECT_EQ(row.gaveUpAfter, gaveUpAfter) << row.label;
    }
}

TEST(RetryPolicy, WaitsDoubleWithSpreadUnlessTheServerNamesThem)
{
    RETRY_STATE retry = {0, 0, 0, 12345};
    uint32_t low[3] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};
    uint32_t high[3] = {0, 0, 0};
    for (int i = 0; i < 1000; ++i) {
        for (uint32_t stalls = 0; stalls < 3; ++stalls) {
            retry.stalledRetries = stalls;
            uint32_t ms = RetryWaitMs(&retry, NO_RETRY_AFTER);
            low[stalls] = ms < low[stalls] ? ms : low[stalls];
            high[stalls] = ms > high[stalls] ? ms : high[stalls];
        }
    }
    for (uint32_t stalls = 0; stalls < 3; ++stalls) {
        // About 1, 2 and 4 s, a quarter either way, and never twice the same for a crowd.
        EXPECT_GE(low[stalls], 750u << stalls);
        EXPECT_LE(high[stalls], 1250u << stalls);
        EXPECT_GT(high[stalls] - low[stalls], 400u << stalls);
    }
    EXPECT_EQ(1000u, RetryWaitMs(&retry, 1));
    EXPECT_EQ(0u, RetryWaitMs(&retry, 0));
    EXPECT_EQ(60000u, RetryWaitMs(&retry, 60));
    for (uint32_t code : {12002u, 12007u, 12029u, 12030u, 12152u})
        EXPECT_TRUE(IsTransientError(code)) << code;
    for (uint32_t code : {1u, 5u, 12005u, 12019u, 12157u, 12175u})
        EXPECT_FALSE(IsTransientError(code)) << code;
}

const std::string STATE =
    "ServerScheme=https\r\nServerAddress=dl.example\r\nServerPort=8080\r\nMsiServerPath=/a b.msi\r\nValidator=\"v1\"\r\nTotal=100\r\nReceived=40\r\n";

TEST(ResumeText, StateReadsBackAsWritten)
{
    RESUME_STATE state;
    ASSERT_TRUE(ParseResumeState(STATE.data(), STATE.size(), &state));
    char text[RESUME_CB_TEXT];
    size_t cb = FormatResumeState(text, sizeof(text), &state);
    EXPECT_EQ(STATE, std::string(text, cb));

    BOOTSTRAP_SETTINGS settings = {L"dl.example", 8080, L"/a b.msi", L"x.msi", L"", L"https"};
    EXPECT_TRUE(IsSameSource(&state, &settings));
    // What a run records of its source is what the next run compares.
    RESUME_STATE written = {};
    SetSource(&written, &settings);
    std::wstring(L"\"v1\"").copy(written.validator, 4);
    written.total = 100;
    written.received = 40;
    EXPECT_EQ(STATE, std::string(text, FormatResumeState(text, sizeof(text), &written)));
    settings.ServerPort = 8080 + 65536;  // the same port on the wire, but not the same setting
    EXPECT_FALSE(IsSameSource(&state, &settings));
    settings.ServerPort = 8080;
    settings.ServerScheme[4] = L'\0';  // "http"
    EXPECT_FALSE(IsSameSource(&state, &settings));

    // What cannot be read back the same is not written.
    RESUME_STATE odd = state;
    odd.MsiServerPath[0] = L'\u0100';
    EXPECT_EQ(0u, FormatResumeState(text, sizeof(text), &odd));
    odd = state;
    std::wstring(L"host ").copy(odd.ServerAddress, 5);
    odd.ServerAddress[5] = L'\0';
    EXPECT_EQ(0u, FormatResumeState(text, sizeof(text), &odd));
    EXPECT_EQ(0u, FormatResumeState(text, 40, &state));
}

TEST(ResumeText, AnythingOddIsNoState)
{
    auto replaced = [](const std::string &from, const std::string &to) {
        std::string text = STATE;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        const char *label;
        std::string text;
    } rows[] = {
        {"empty", ""},
        {"a key missing", replaced("Total=100\r\n", "")},
        {"no scheme", replaced("ServerScheme=https\r\n", "")},
        {"an unknown key", STATE + "Extra=1\r\n"},
        {"count not decimal", replaced("Received=40", "Received=4O")},
        {"count with a sign", replaced("Received=40", "Received=+40")},
        {"count beyond 32 bits", replaced("Total=100", "Total=4294967296")},
        {"count at the total", replaced("Received=40", "Received=100")},
        {"total 0", replaced("Total=100", "Total=0")},
        {"empty validator", replaced("Validator=\"v1\"", "Validator=")},
        {"validator with a control byte", replaced("Validator=\"v1\"", "Validator=\"v\x01\"")},
        {"address too long", replaced("dl.example", std::string(300, 'a'))},
        {"port not decimal", replaced("8080", "0x50")},
        {"UTF-16", std::string("S\0e\0", 4)},
    };
    for (const auto &row : rows) {
        RESUME_STATE state;
        EXPECT_FALSE(ParseResumeState(row.text.data(), row.text.size(), &state)) << row.label;
    }
}

}  // namespace
