// Runs the real LumvexInstaller.exe and reads its windows from outside, as a user would meet it.
#pragma once

#include <windows.h>

#include <string>

class Program {
public:
    // Starts the program in the current directory; showCommand < 0 leaves the show command
    // to the system default. exe: a copy of the program elsewhere, or empty for the one built.
    explicit Program(int showCommand = -1, const std::wstring &exe = std::wstring());
    ~Program();  // terminates the program if it still runs

    // The first top-level window of the program with this class, or NULL after the time-out.
    HWND WaitForWindow(const wchar_t *className, DWORD msTimeout = 20000);
    // Exit code, or STILL_ACTIVE after the time-out.
    DWORD WaitForExit(DWORD msTimeout = 30000);

private:
    PROCESS_INFORMATION process_;
};

// Path of a file beside the test program.
std::wstring BesideTests(const wchar_t *name);

std::wstring WindowText(HWND hWnd);
std::wstring ClassOf(HWND hWnd);
// The window's outer rectangle in its parent's client coordinates (screen for top-level).
RECT PlaceOf(HWND hWnd);

// The main window's children, found by class and position.
struct Controls {
    HWND hStatusText = NULL;
    HWND hSizeText = NULL;
    HWND hProgressBar = NULL;
};
Controls ControlsOf(HWND hMainWnd);
int ProgressPosition(HWND hProgressBar);

// A message box as the user sees it.
struct Box {
    std::wstring caption;
    std::wstring text;
    HWND hOwner = NULL;
    bool ok = false;
    bool cancel = false;
    bool icon = false;
};
Box ReadBox(HWND hBox);
// Presses a button of a message box (IDOK, IDCANCEL).
void Press(HWND hBox, int button);

// Polls until predicate() holds or the time-out passes; returns the last answer.
template <typename Predicate>
bool WaitUntil(Predicate predicate, DWORD msTimeout = 30000)
{
    for (DWORD waited = 0;; waited += 20) {
        if (predicate())
            return true;
        if (waited >= msTimeout)
            return false;
        Sleep(20);
    }
}
