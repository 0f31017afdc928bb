#include "Settings.h"

// A publisher can build the pin of the package it ships, and the scheme of its server, into
// the program (see CMakeLists).
#ifndef LUMVEX_DEFAULT_MSI_SHA256
#define LUMVEX_DEFAULT_MSI_SHA256 ""
#endif
#ifndef LUMVEX_DEFAULT_SERVER_SCHEME
#define LUMVEX_DEFAULT_SERVER_SCHEME "http"
#endif

// Statically initialised, so the defaults exist before any code runs. Only LoadSettings
// writes it, on the UI thread before the worker exists; readers on both threads need no lock.
BOOTSTRAP_SETTINGS BootstrapSettings = {
    L"dl.lumvex.com",
    80,
    L"/LumvexSetup.msi",
    L"LumvexSetup.msi",
    L"" LUMVEX_DEFAULT_MSI_SHA256,
    L"" LUMVEX_DEFAULT_SERVER_SCHEME,
};
