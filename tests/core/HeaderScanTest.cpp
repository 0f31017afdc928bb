#include <string>

#include <gtest/gtest.h>

#include "download/core/HeaderScan.h"

namespace {

ANSWER Scanned(const wchar_t *headers, size_t cch)
{
    ANSWER answer;
    ScanAnswer(headers, cch, &answer);
    return answer;
}

TEST(HeaderScan, ContentLengthComesFromTheExactLines)
{
    const struct {
        const char *label;
        const wchar_t *headers;
        uint32_t expected;
    } rows[] = {
        {"plain", L"HTTP/1.1 200 OK\r\nContent-Length: 512\r\n\r\n", 512},
        {"none", L"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0},
        {"empty text", L"", 0},
        {"lower-case name", L"HTTP/1.1 200 OK\r\ncontent-length: 512\r\n\r\n", 512},
        {"name in capitals", L"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 512\r\n\r\n", 512},
        {"no blank after colon", L"HTTP/1.1 200 OK\r\nContent-Length:512\r\n\r\n", 512},
        {"blank before the colon", L"HTTP/1.1 200 OK\r\nContent-Length : 512\r\n\r\n", 0},
        {"two in different cases that disagree", L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 7\r\n\r\n", 0},
        {"no value", L"HTTP/1.1 200 OK\r\nContent-Length: \r\nContent-Length: 9\r\n\r\n", 0},
        {"not a number", L"HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n", 0},
        {"negative", L"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", 0},
        {"number in an earlier header", L"HTTP/1.1 200 OK\r\nAge: 30\r\nX-Content-Length: 4\r\nContent-Length: 7\r\n\r\n", 7},
        {"status line never examined", L"Content-Length: 9\r\nServer: x\r\n\r\n", 0},
        {"two that disagree", L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n", 0},
        {"two that agree", L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 005\r\n\r\n", 5},
        {"a later one with no value", L"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: x\r\n\r\n", 0},
        {"runs of LF", L"\n\nHTTP/1.1 200 OK\n\n\nContent-Length: 3\n", 3},
        {"blanks around", L"HTTP/1.1 200 OK\r\n \tContent-Length: \t 42 \r\n\r\n", 42},
        {"digits up to the first other", L"HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", 12},
        {"largest 32-bit value", L"HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\n\r\n", 4294967295u},
        {"beyond 32 bits", L"HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", 0},
        {"eleven digits", L"HTTP/1.1 200 OK\r\nContent-Length: 10000000005\r\n\r\n", 0},
        {"leading zeros", L"HTTP/1.1 200 OK\r\nContent-Length: 000000000000017\r\n\r\n", 17},
        {"name inside a longer word", L"HTTP/1.1 200 OK\r\nContent-Length:: 8\r\nXContent-Length: 8\r\n\r\n", 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, Scanned(row.headers, std::wstring(row.headers).size()).length) << row.label;
}

TEST(HeaderScan, ScanStopsAtTheGivenCount)
{
    const std::wstring headers = L"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n";
    EXPECT_EQ(12u, Scanned(headers.c_str(), headers.find(L"34")).length);
    EXPECT_EQ(0u, Scanned(headers.c_str(), headers.find(L"Content")).length);
    // A zero inside the text ends it as well.
    const std::wstring cut(L"HTTP/1.1 200 OK\r\n\0Content-Length: 5\r\n", 38);
    EXPECT_EQ(0u, Scanned(cut.c_str(), cut.size()).length);
}

TEST(HeaderScan, StatusIsTheStatusLinesThreeDigits)
{
    const struct {
        const wchar_t *headers;
        bool expected;
    } rows[] = {
        {L"HTTP/1.1 200 OK\r\n", true},
        {L"HTTP/1.1 206 Partial Content\r\n", true},
        {L"HTTP/1.0 204\r\n", true},
        {L"HTTP/1.1 299 Whatever\r\nContent-Length: 1\r\n", true},
        {L"HTTP/1.1 404 Not Found\r\n", false},
        {L"HTTP/1.1 500 Internal Server Error\r\n", false},
        {L"HTTP/1.1 302 Found\r\n", false},
        {L"HTTP/1.1 199 X\r\n", false},
        {L"HTTP/1.1 2000 OK\r\n", false},
        {L"HTTP/1.1 20\r\n", false},
        {L"HTTP/1.1 2x0 OK\r\n", false},
        {L"HTTP/1.1\r\n200 OK\r\n", false},
        {L"", false},
    };
    for (const auto &row : rows) {
        std::wstring text(row.headers);
        EXPECT_EQ(row.expected, Scanned(text.c_str(), text.size()).status / 100 == 2)
            << std::string(text.begin(), text.end());
    }
}

TEST(HeaderScan, ScanAnswerReadsWhatAResumeNeeds)
{
    const std::wstring longTag = L"\"" + std::wstring(125, L'a') + L"\"";
    const struct {
        const char *label;
        std::wstring headers;
        int32_t status;
        const wchar_t *validator;
        const char *range;  // "first-last/total", or "" when none reads
        uint32_t retryAfter;
    } rows[] = {
        {"strong ETag", L"HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nLast-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n\r\n", 200,
         L"\"v1\"", "", NO_RETRY_AFTER},
        {"weak ETag: the date instead", L"HTTP/1.1 200 OK\r\nETag: W/\"v1\"\r\nLast-Modified: Mon, 07 Dec 2026\r\n\r\n", 200,
         L"Mon, 07 Dec 2026", "", NO_RETRY_AFTER},
        {"weak ETag alone", L"HTTP/1.1 200 OK\r\nETag: W/\"v1\"\r\n\r\n", 200, L"", "", NO_RETRY_AFTER},
        {"unquoted ETag", L"HTTP/1.1 200 OK\r\nETag: v1\r\n\r\n", 200, L"", "", NO_RETRY_AFTER},
        {"names in any case", L"HTTP/1.1 206 Partial\r\netag:\"v1\"\r\ncontent-range: BYTES 5-9/10\r\n\r\n", 206, L"\"v1\"",
         "5-9/10", NO_RETRY_AFTER},
        {"longest validator", L"HTTP/1.1 200 OK\r\nETag: " + longTag + L"\r\n\r\n", 200, longTag.c_str(), "", NO_RETRY_AFTER},
        {"validator too long", L"HTTP/1.1 200 OK\r\nETag: \"a" + longTag.substr(1) + L"\r\n\r\n", 200, L"", "", NO_RETRY_AFTER},
        {"validator not plain ASCII", L"HTTP/1.1 200 OK\r\nETag: \"v\u00e9\"\r\n\r\n", 200, L"", "", NO_RETRY_AFTER},
        {"range in the status line only", L"HTTP/1.1 206 Content-Range: bytes 0-1/2\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"range of the whole", L"HTTP/1.1 206 P\r\nContent-Range: bytes 0-4294967294/4294967295\r\n\r\n", 206, L"",
         "0-4294967294/4294967295", NO_RETRY_AFTER},
        {"range beyond 32 bits", L"HTTP/1.1 206 P\r\nContent-Range: bytes 0-1/4294967296\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"range with an unknown total", L"HTTP/1.1 206 P\r\nContent-Range: bytes 0-1/*\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"unsatisfied range", L"HTTP/1.1 416 R\r\nContent-Range: bytes */10\r\n\r\n", 416, L"", "", NO_RETRY_AFTER},
        {"range backwards", L"HTTP/1.1 206 P\r\nContent-Range: bytes 5-4/10\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"range past its total", L"HTTP/1.1 206 P\r\nContent-Range: bytes 5-10/10\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"range with trailing text", L"HTTP/1.1 206 P\r\nContent-Range: bytes 5-9/10x\r\n\r\n", 206, L"", "", NO_RETRY_AFTER},
        {"Retry-After in seconds", L"HTTP/1.1 503 Busy\r\nRetry-After: 60\r\n\r\n", 503, L"", "", 60},
        {"Retry-After beyond the cap", L"HTTP/1.1 503 Busy\r\nRetry-After: 120\r\n\r\n", 503, L"", "", 60},
        {"Retry-After beyond 32 bits", L"HTTP/1.1 503 Busy\r\nRetry-After: 99999999999\r\n\r\n", 503, L"", "", 60},
        {"Retry-After with a sign", L"HTTP/1.1 503 Busy\r\nRetry-After: -1\r\n\r\n", 503, L"", "", NO_RETRY_AFTER},
        {"Retry-After as a date", L"HTTP/1.1 429 Slow\r\nRetry-After: Mon, 07 Dec 2026 10:00:00 GMT\r\n\r\n", 429, L"", "",
         NO_RETRY_AFTER},
        {"no status code", L"HTTP/1.1 OK\r\nRetry-After: 1\r\n\r\n", 0, L"", "", 1},
    };
    for (const auto &row : rows) {
        const ANSWER answer = Scanned(row.headers.c_str(), row.headers.size());
        const std::string range = answer.hasRange ? std::to_string(answer.rangeFirst) + "-" + std::to_string(answer.rangeLast) +
                                                        "/" + std::to_string(answer.rangeTotal)
                                                  : "";
        EXPECT_EQ(row.status, answer.status) << row.label;
        EXPECT_EQ(std::wstring(row.validator), std::wstring(answer.validator)) << row.label;
        EXPECT_EQ(row.range, range) << row.label;
        EXPECT_EQ(row.retryAfter, answer.retryAfter) << row.label;
    }
}

}  // namespace
