#include "Progress.h"

void ReportProgress(uint32_t received, uint32_t total)
{
    (void)received;
    (void)total;
}
