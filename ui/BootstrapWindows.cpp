#include "BootstrapWindows.h"

// Written by WinMain on the UI thread before the worker exists and never again, so the
// worker reads it without a lock.
BOOTSTRAP_WINDOWS BootstrapWindows = {NULL, NULL, NULL, NULL};
