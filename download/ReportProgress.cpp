#include "core/TransferPlatform.h"

#include <windows.h>
#include <commctrl.h>

#include "core/ProgressText.h"
#include "ui/BootstrapWindows.h"

void ReportProgress(uint32_t received, uint32_t total)
{
    wchar_t text[PROGRESS_CCH_TEXT] = {0};
    FormatSizeText(text, PROGRESS_CCH_TEXT, received, total);
    // Both sends wait for the UI thread, so the worker asks for the next chunk only once the
    // window shows this one. A missing control just loses the message.
    SendMessageW(BootstrapWindows.hSizeText, WM_SETTEXT, 0, (LPARAM)text);
    SendMessageW(BootstrapWindows.hProgressBar, PBM_SETPOS,
                 (WPARAM)ProgressPercent(received, total), 0);
}
