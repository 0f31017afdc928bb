#include <string>

#include <gtest/gtest.h>

#include "download/HeaderScan.h"

namespace {

TEST(HeaderScan, FindContentLengthReadsTheExactLines)
{
    const struct {
        const char *label;
        const wchar_t *headers;
        uint32_t expected;
    } rows[] = {
        {"plain", L"HTTP/1.1 200 OK\r\nContent-Length: 512\r\n\r\n", 512},
        {"none", L"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0},
        {"empty text", L"", 0},
        {"lower-case name", L"HTTP/1.1 200 OK\r\ncontent-length: 512\r\n\r\n", 0},
        {"no blank after colon", L"HTTP/1.1 200 OK\r\nContent-Length:512\r\n\r\n", 0},
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
        EXPECT_EQ(row.expected, FindContentLength(row.headers, std::wstring(row.headers).size())) << row.label;
}

TEST(HeaderScan, FindContentLengthStopsAtTheGivenCount)
{
    const std::wstring headers = L"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n";
    EXPECT_EQ(12u, FindContentLength(headers.c_str(), headers.find(L"34")));
    EXPECT_EQ(0u, FindContentLength(headers.c_str(), headers.find(L"Content")));
    // A zero inside the text ends it as well.
    const std::wstring cut(L"HTTP/1.1 200 OK\r\n\0Content-Length: 5\r\n", 38);
    EXPECT_EQ(0u, FindContentLength(cut.c_str(), cut.size()));
}

TEST(HeaderScan, IsSuccessStatusAcceptsOnly2xx)
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
        EXPECT_EQ(row.expected, IsSuccessStatus(text.c_str(), text.size()))
            << std::string(text.begin(), text.end());
    }
}

}  // namespace
