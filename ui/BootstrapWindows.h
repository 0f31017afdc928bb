// The main window and its three controls, shared with the download worker.
#pragma once

#include <windows.h>

// A null handle means the control is missing; messages sent to it are lost without harm.
struct BOOTSTRAP_WINDOWS {
    HWND hMainWnd;
    HWND hStatusText;
    HWND hSizeText;
    HWND hProgressBar;
};

// Process-wide; written only by WinMain before the worker starts, read-only afterwards.
extern BOOTSTRAP_WINDOWS BootstrapWindows;
