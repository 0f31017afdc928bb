// Built with a publisher's own defaults, as the release script builds them.
#include <string>

#include <gtest/gtest.h>

#include "download/core/HostPolicy.h"
#include "download/core/PackageCheck.h"
#include "download/core/RoutePolicy.h"
#include "settings/SettingsParse.h"

namespace {

// The settings file sits wherever the program was started, a downloads folder among them.
TEST(PinnedDefault, BuiltInPinHoldsWhateverTheSettingsFileSays)
{
    const std::wstring builtIn = L"00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    EXPECT_EQ(builtIn, BootstrapSettings.MsiSha256);

    BOOTSTRAP_SETTINGS settings = BootstrapSettings;
    const std::string unrelated = "ServerPort=81\n";
    ApplySettingsText(&settings, unrelated.data(), unrelated.size(), NULL);
    EXPECT_EQ(builtIn, settings.MsiSha256);

    for (const std::string &overriding : {std::string("MsiSha256=\n"), "MsiSha256=" + std::string(64, 'f') + "\n"}) {
        ApplySettingsText(&settings, overriding.data(), overriding.size(), NULL);
        EXPECT_EQ(builtIn, settings.MsiSha256) << overriding;
    }
}

// What CMake builds in reaches the program in a form it takes: a scheme in capitals is
// https, the port is the connection's, the pin reads, the local name is a package's.
TEST(PinnedDefault, BuiltInSettingsAreTakenAsTheFileWouldGiveThem)
{
    EXPECT_EQ(SCHEME_HTTPS, ParseScheme(BootstrapSettings.ServerScheme));
    EXPECT_EQ(8443, PortFor(SCHEME_HTTPS, BootstrapSettings.ServerPort));
    EXPECT_EQ(std::wstring(L"dl.example.com"), BootstrapSettings.ServerAddress);
    EXPECT_EQ(std::wstring(L"/pkg/Setup.msi"), BootstrapSettings.MsiServerPath);
    uint8_t digest[CB_SHA256];
    EXPECT_TRUE(ParseSha256(BootstrapSettings.MsiSha256, digest));
    EXPECT_TRUE(IsPackagePath(BootstrapSettings.MsiLocalPath));
    SERVER_LIST servers;
    ASSERT_TRUE(ListServers(&BootstrapSettings, &servers));
    EXPECT_EQ(2, FindServer(&servers, L"cdn2.example.com", 8443));
    EXPECT_EQ(3u, servers.count);
}

}  // namespace
