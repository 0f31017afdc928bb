#include <string>

#include <gtest/gtest.h>

#include "download/core/ProgressText.h"

namespace {

TEST(ProgressText, SizeTextAndPercentage)
{
    const struct {
        uint32_t received;
        uint32_t total;
        const wchar_t *text;
        int32_t percent;
    } rows[] = {
        {1572864, 10485760, L"1.50M / 10.00M", 15},
        {3, 7, L"0.00M / 0.00M", 42},
        {131072, 655360, L"0.13M / 0.63M", 20},  // exact halves round up
        {5242, 5243, L"0.00M / 0.01M", 99},      // just below and at a half hundredth
        {1048575, 1048576, L"1.00M / 1.00M", 99},
        {10433332, 10433332, L"9.95M / 9.95M", 100},
        {2147483648u, 4294967295u, L"2048.00M / 4096.00M", 50},
        {4294967295u, 4294967295u, L"4096.00M / 4096.00M", 100},
        {200, 100, L"0.00M / 0.00M", 200},  // more than announced: not capped
        {4294967295u, 1, L"4096.00M / 0.00M", INT32_MAX},
        {0, 1, L"0.00M / 0.00M", 0},
    };
    for (const auto &row : rows) {
        wchar_t text[PROGRESS_CCH_TEXT];
        FormatSizeText(text, PROGRESS_CCH_TEXT, row.received, row.total);
        EXPECT_EQ(std::wstring(row.text), text) << row.received << " of " << row.total;
        EXPECT_EQ(row.percent, ProgressPercent(row.received, row.total)) << row.received << " of " << row.total;
    }
}

}  // namespace
