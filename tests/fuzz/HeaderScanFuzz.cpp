// Response headers come from the network: any text must be scanned within its bounds, a
// length only ever comes from a Content-Length line, and what is kept for a resume is
// consistent and fit to go back out in a request.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "download/core/HeaderScan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Two bytes per character, as the Windows client hands them over; no terminator, so the
    // scan must keep to the count it is given.
    size_t cch = size / 2;
    wchar_t *headers = (wchar_t *)malloc((cch == 0 ? 1 : cch) * sizeof(wchar_t));
    for (size_t i = 0; i < cch; ++i)
        headers[i] = (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
    ANSWER answer;
    ScanAnswer(headers, cch, &answer);
    const uint32_t length = answer.length;
    size_t cchValidator = wcslen(answer.validator);
    if (answer.status < 0 || answer.status > 999 ||
        (cchValidator != 0 && !IsValidatorText(answer.validator, cchValidator)) ||
        (answer.hasRange && (answer.rangeFirst > answer.rangeLast || answer.rangeLast >= answer.rangeTotal)) ||
        (answer.retryAfter != NO_RETRY_AFTER && answer.retryAfter > MAX_RETRY_AFTER))
        abort();
    if (length != 0) {
        static const wchar_t name[] = L"content-length:";
        const size_t cchName = sizeof(name) / sizeof(wchar_t) - 1;
        bool found = false;
        for (size_t i = 0; !found && i + cchName <= cch; ++i) {
            size_t j = 0;
            while (j < cchName && (headers[i + j] | (headers[i + j] >= L'A' && headers[i + j] <= L'Z' ? 0x20 : 0)) == name[j])
                ++j;
            found = j == cchName;
        }
        if (!found)
            abort();
    }
    free(headers);
    return 0;
}
