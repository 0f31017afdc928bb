// The per-chunk progress report to the size field and the progress bar.
#pragma once

#include <stdint.h>

// Worker thread, after each chunk is written. Sends synchronously, so it returns only once
// the UI thread has updated both controls; a missing control is skipped without harm.
void ReportProgress(uint32_t received, uint32_t total);
