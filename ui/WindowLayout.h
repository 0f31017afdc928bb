// Placing the main window. No platform calls.
#pragma once

// Outer size of the main window, frame included.
enum { MAIN_WINDOW_WIDTH = 460, MAIN_WINDOW_HEIGHT = 140 };

// Offset that centres a window of this size on a screen of that size; the division
// truncates toward zero, so a screen narrower than the window gives a negative offset.
int CentredOffset(int screenSize, int windowSize);
