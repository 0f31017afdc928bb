// The main window's class and procedure.
#pragma once

#include <windows.h>

// Class name of the main window, the same as the program's base name.
static const wchar_t MAIN_WINDOW_CLASS[] = L"LumvexInstaller";

// UI thread. Asks before closing, and on the worker's outcome opens the package or shows the
// error; every way out posts quit with exit code 0.
LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
