#include "Settings.h"

// A publisher can build its own defaults into the program (see CMakeLists); the settings
// file still overrides each of them.
#ifndef LUMVEX_DEFAULT_SERVER_ADDRESS
#define LUMVEX_DEFAULT_SERVER_ADDRESS "dl.lumvex.com"
#endif
#ifndef LUMVEX_DEFAULT_SERVER_PORT
#define LUMVEX_DEFAULT_SERVER_PORT 80
#endif
#ifndef LUMVEX_DEFAULT_MSI_SERVER_PATH
#define LUMVEX_DEFAULT_MSI_SERVER_PATH "/LumvexSetup.msi"
#endif
#ifndef LUMVEX_DEFAULT_MSI_LOCAL_PATH
#define LUMVEX_DEFAULT_MSI_LOCAL_PATH "LumvexSetup.msi"
#endif
#ifndef LUMVEX_DEFAULT_MSI_SHA256
#define LUMVEX_DEFAULT_MSI_SHA256 ""
#endif
#ifndef LUMVEX_DEFAULT_SERVER_SCHEME
#define LUMVEX_DEFAULT_SERVER_SCHEME "http"
#endif
#ifndef LUMVEX_DEFAULT_SERVER_MIRRORS
#define LUMVEX_DEFAULT_SERVER_MIRRORS ""
#endif

// Statically initialised, so the defaults exist before any code runs. Only LoadSettings
// writes it, on the UI thread before the worker exists; readers on both threads need no lock.
BOOTSTRAP_SETTINGS BootstrapSettings = {
    L"" LUMVEX_DEFAULT_SERVER_ADDRESS,
    LUMVEX_DEFAULT_SERVER_PORT,
    L"" LUMVEX_DEFAULT_MSI_SERVER_PATH,
    L"" LUMVEX_DEFAULT_MSI_LOCAL_PATH,
    L"" LUMVEX_DEFAULT_MSI_SHA256,
    L"" LUMVEX_DEFAULT_SERVER_SCHEME,
    L"" LUMVEX_DEFAULT_SERVER_MIRRORS,
};

const bool MsiSha256BuiltIn = sizeof(LUMVEX_DEFAULT_MSI_SHA256) > 1;
