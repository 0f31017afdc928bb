#include "Settings.h"

// Statically initialised, so the defaults exist before any code runs. Only LoadSettings
// writes it, on the UI thread before the worker exists; readers on both threads need no lock.
BOOTSTRAP_SETTINGS BootstrapSettings = {
    L"dl.lumvex.com",
    80,
    L"/LumvexSetup.msi",
    L"LumvexSetup.msi",
};
