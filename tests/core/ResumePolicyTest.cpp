#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/core/ResumePolicy.h"

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

TEST(ResumePolicy, JudgeAnswerKeepsOnlyTheRestOfTheSamePackage)
{
    const struct {
        const char *label;
        ANSWER answer;
        uint32_t received;     // of a 100-byte package under "v1"
        KEPT_VOUCHER voucher;  // NOTHING: the request asked for everything
        ANSWER_VERDICT expected;
        const wchar_t *kept = L"\"v1\"";
    } rows[] = {
        {"first answer", Answer(200, 100), 0, VOUCHED_BY_NOTHING, VERDICT_FULL_BODY},
        {"2xx without a length", Answer(200, 0), 0, VOUCHED_BY_NOTHING, VERDICT_FAIL},
        {"the rest", Answer(206, 60, L"\"v1\"", "40-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_CONTINUE},
        // A 206 must repeat the ETag; one naming none may be another version's, If-Range ignored.
        {"the rest, no ETag named", Answer(206, 60, L"", "40-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"the rest, no date named", Answer(206, 60, L"", "40-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_CONTINUE,
         L"Mon, 07 Dec 2026 10:00:00 GMT"},
        {"range ignored", Answer(200, 100), 40, VOUCHED_BY_VALIDATOR, VERDICT_FULL_BODY},
        {"range ignored, our version named", Answer(200, 100, L"\"v1\""), 40, VOUCHED_BY_VALIDATOR, VERDICT_READ_PAST_KEPT},
        {"range ignored, our validator but another length", Answer(200, 101, L"\"v1\""), 40, VOUCHED_BY_VALIDATOR, VERDICT_FULL_BODY},
        {"range ignored, another version", Answer(200, 100, L"\"v2\""), 40, VOUCHED_BY_VALIDATOR, VERDICT_FULL_BODY},
        {"our validator, nothing kept", Answer(200, 100, L"\"v1\""), 0, VOUCHED_BY_NOTHING, VERDICT_FULL_BODY},
        {"another start", Answer(206, 70, L"\"v1\"", "30-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"short of the end", Answer(206, 50, L"\"v1\"", "40-89/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"another total", Answer(206, 60, L"\"v1\"", "40-99/101"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"length that disagrees", Answer(206, 61, L"\"v1\"", "40-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"no Content-Range", Answer(206, 60, L"\"v1\""), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"another version", Answer(206, 60, L"\"v2\"", "40-99/100"), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"416 to a range", Answer(416, 0), 40, VOUCHED_BY_VALIDATOR, VERDICT_START_OVER},
        {"416 unasked", Answer(416, 0), 0, VOUCHED_BY_NOTHING, VERDICT_FAIL},
        {"206 unasked", Answer(206, 60, L"", "40-99/100"), 40, VOUCHED_BY_NOTHING, VERDICT_FAIL},
        {"503", Answer(503, 10), 40, VOUCHED_BY_VALIDATOR, VERDICT_RETRY},
        {"500", Answer(500, 10), 0, VOUCHED_BY_NOTHING, VERDICT_RETRY},
        {"404", Answer(404, 10), 40, VOUCHED_BY_VALIDATOR, VERDICT_FAIL},
        {"a redirect not followed", Answer(308, 0), 0, VOUCHED_BY_NOTHING, VERDICT_FAIL},
        {"no status", Answer(0, 10), 0, VOUCHED_BY_NOTHING, VERDICT_FAIL},
        // On another host than the kept bytes came from.
        {"elsewhere: the rest under the same ETag", Answer(206, 60, L"\"v1\"", "40-99/100"), 40, VOUCHED_BY_SAME_ETAG, VERDICT_CONTINUE},
        {"elsewhere: the rest naming no ETag", Answer(206, 60, L"", "40-99/100"), 40, VOUCHED_BY_SAME_ETAG, VERDICT_START_OVER},
        {"elsewhere: the whole under the same ETag", Answer(200, 100, L"\"v1\""), 40, VOUCHED_BY_SAME_ETAG, VERDICT_READ_PAST_KEPT},
        {"elsewhere, pinned: the rest of any version", Answer(206, 60, L"\"m\"", "40-99/100"), 40, VOUCHED_BY_PIN, VERDICT_CONTINUE},
        {"elsewhere, pinned: another total", Answer(206, 61, L"\"m\"", "40-100/101"), 40, VOUCHED_BY_PIN, VERDICT_START_OVER},
        {"elsewhere, pinned: a whole body is taken whole", Answer(200, 100, L"\"v1\""), 40, VOUCHED_BY_PIN, VERDICT_FULL_BODY},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, JudgeAnswer(&row.answer, row.received, 100, row.kept, row.voucher)) << row.label;
}

TEST(ResumePolicy, ABodyFitsOnItsVolumeWithRoomToSpare)
{
    const uint64_t MiB = 1024 * 1024;
    const struct {
        const char *label;
        ANSWER_VERDICT verdict;
        ANSWER answer;
        uint32_t received;
        uint64_t available;
        bool fits;
    } rows[] = {
        {"a whole body and the margin", VERDICT_FULL_BODY, Answer(200, 8 * MiB), 0, 24 * MiB, true},
        {"a whole body eating the margin", VERDICT_FULL_BODY, Answer(200, 8 * MiB + 1), 0, 24 * MiB, false},
        {"4 GiB announced", VERDICT_FULL_BODY, Answer(200, UINT32_MAX), 0, 24 * MiB, false},
        {"4 GiB on a volume that holds it", VERDICT_FULL_BODY, Answer(200, UINT32_MAX), 0, 80ull << 30, true},
        {"a volume smaller than the margin", VERDICT_FULL_BODY, Answer(200, 1), 0, 16 * MiB - 1, false},
        {"the rest after kept bytes", VERDICT_CONTINUE, Answer(206, 8 * MiB, L"", "1-1/2"), 4 * MiB, 24 * MiB, true},
        {"the whole read past kept bytes", VERDICT_READ_PAST_KEPT, Answer(200, 12 * MiB), 4 * MiB, 24 * MiB, true},
        {"no body", VERDICT_FAIL, Answer(404, UINT32_MAX), 0, 16 * MiB, true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.fits, FitsOnVolume(row.available, BytesToWrite(row.verdict, &row.answer, row.received))) << row.label;
}

TEST(ResumePolicy, KeptBytesContinueElsewhereOnlyWhereThatIsSafe)
{
    const struct {
        const char *label;
        uint32_t received;
        const wchar_t *validator;
        bool sameHost, pinned;
        KEPT_VOUCHER expected;
    } rows[] = {
        {"nothing kept", 0, L"\"v1\"", true, true, VOUCHED_BY_NOTHING},
        {"their own host", 40, L"\"v1\"", true, false, VOUCHED_BY_VALIDATOR},
        {"their own host, a date", 40, L"Mon, 07 Dec 2026 10:00:00 GMT", true, false, VOUCHED_BY_VALIDATOR},
        {"their own host, no validator, even pinned", 40, L"", true, true, VOUCHED_BY_NOTHING},
        {"elsewhere, a strong ETag", 40, L"\"v1\"", false, false, VOUCHED_BY_SAME_ETAG},
        {"elsewhere, a weak ETag", 40, L"W/\"v1\"", false, false, VOUCHED_BY_NOTHING},
        {"elsewhere, a date names no version", 40, L"Mon, 07 Dec 2026 10:00:00 GMT", false, false, VOUCHED_BY_NOTHING},
        {"elsewhere, pinned", 40, L"Mon, 07 Dec 2026 10:00:00 GMT", false, true, VOUCHED_BY_PIN},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, VoucherFor(row.received, row.validator, row.sameHost, row.pinned)) << row.label;
    wchar_t text[64];
    ASSERT_TRUE(FormatRangeRequest(text, 64, 40, L"\"v1\"", VOUCHED_BY_PIN));
    EXPECT_EQ(std::wstring(L"Range: bytes=40-\r\n"), text);
}

const std::string STATE =
    "ServerScheme=https\r\nServerAddress=dl.example\r\nServerPort=8080\r\nMsiServerPath=/a b.msi\r\nValidator=\"v1\"\r\nTotal=100\r\nReceived=40\r\n";

TEST(ResumePolicy, StateReadsBackAsWritten)
{
    RESUME_STATE state;
    ASSERT_TRUE(ParseResumeState(STATE.data(), STATE.size(), &state));
    char text[RESUME_CB_TEXT];
    size_t cb = FormatResumeState(text, sizeof(text), &state);
    EXPECT_EQ(STATE, std::string(text, cb));

    BOOTSTRAP_SETTINGS settings = {L"main.example", 80, L"/a b.msi", L"x.msi", L"", L"https", L"m1.example, dl.example:8080"};
    SERVER_LIST servers;
    ASSERT_TRUE(ListServers(&settings, &servers));
    EXPECT_EQ(2, SourceOf(&state, &settings, &servers));
    // What a run records of its source is what the next run compares.
    RESUME_STATE written = {};
    SetSource(&written, &settings, &servers.servers[2]);
    std::wstring(L"\"v1\"").copy(written.validator, 4);
    written.total = 100;
    written.received = 40;
    EXPECT_EQ(STATE, std::string(text, FormatResumeState(text, sizeof(text), &written)));
    servers.servers[2].port = 8080 + 65536;  // the same port on the wire, but not the same setting
    EXPECT_EQ(-1, SourceOf(&state, &settings, &servers));
    servers.servers[2].port = 8080;
    std::wstring(L"HTTPS").copy(settings.ServerScheme, 5);  // one scheme in any letter case
    EXPECT_EQ(2, SourceOf(&state, &settings, &servers));
    settings.ServerScheme[4] = L'\0';  // "HTTP"
    EXPECT_EQ(-1, SourceOf(&state, &settings, &servers));

    // A whole package that could not take its name needs no validator.
    RESUME_STATE whole = written;
    whole.validator[0] = L'\0';
    whole.received = 100;
    RESUME_STATE read;
    ASSERT_TRUE(ParseResumeState(text, FormatResumeState(text, sizeof(text), &whole), &read));
    EXPECT_EQ(100u, read.received);
    EXPECT_EQ(L'\0', read.validator[0]);

    // The digest the bytes are checked against, where one is known; states without it still read.
    const std::string digested = STATE + "Sha256=" + std::string(64, 'a') + "\r\n";
    ASSERT_TRUE(ParseResumeState(digested.data(), digested.size(), &read));
    EXPECT_TRUE(read.hasSha256);
    EXPECT_EQ(0xAA, read.sha256[31]);
    EXPECT_EQ(digested, std::string(text, FormatResumeState(text, sizeof(text), &read)));
    ASSERT_TRUE(ParseResumeState(STATE.data(), STATE.size(), &read));
    EXPECT_FALSE(read.hasSha256);

    // Paths in Chinese go as UTF-8 and read back the same.
    RESUME_STATE chinese = state;
    std::wstring(L"/\u4E0B\u8F7D/\u5B89\u88C5\u5305.msi").copy(chinese.MsiServerPath, 10);
    chinese.MsiServerPath[10] = L'\0';
    ASSERT_TRUE(ParseResumeState(text, FormatResumeState(text, sizeof(text), &chinese), &read));
    EXPECT_EQ(std::wstring(chinese.MsiServerPath), read.MsiServerPath);

    // What cannot be read back the same is not written.
    RESUME_STATE odd = state;
    odd.MsiServerPath[0] = (wchar_t)0xD800;  // half of a character
    EXPECT_EQ(0u, FormatResumeState(text, sizeof(text), &odd));
    odd = state;
    std::wstring(L"host ").copy(odd.ServerAddress, 5);
    odd.ServerAddress[5] = L'\0';
    EXPECT_EQ(0u, FormatResumeState(text, sizeof(text), &odd));
    EXPECT_EQ(0u, FormatResumeState(text, 40, &state));
}

TEST(ResumePolicy, AnythingOddIsNoState)
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
        {"count beyond the total", replaced("Received=40", "Received=101")},
        {"no validator for a part", replaced("Validator=\"v1\"", "Validator=")},
        {"total 0", replaced("Total=100", "Total=0")},
        {"validator with a control byte", replaced("Validator=\"v1\"", "Validator=\"v\x01\"")},
        {"address too long", replaced("dl.example", std::string(300, 'a'))},
        {"port not decimal", replaced("8080", "0x50")},
        {"UTF-16", std::string("S\0e\0", 4)},
        {"a path in a code page, not UTF-8", replaced("/a b.msi", "/\xCF\xC2.msi")},
        {"digest one digit short", STATE + "Sha256=" + std::string(63, 'a') + "\r\n"},
        {"digest not hex", STATE + "Sha256=" + std::string(63, 'a') + "g\r\n"},
    };
    for (const auto &row : rows) {
        RESUME_STATE state;
        EXPECT_FALSE(ParseResumeState(row.text.data(), row.text.size(), &state)) << row.label;
    }
}

}  // namespace
