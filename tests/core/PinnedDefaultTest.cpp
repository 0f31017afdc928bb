// Built with a publisher's own defaults, as the release script builds them.
#include <string>

#include <gtest/gtest.h>

#include "settings/SettingsParse.h"

namespace {

TEST(PinnedDefault, BuiltInPinHoldsUntilTheSettingsFileSaysOtherwise)
{
    const std::wstring builtIn = L"00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    EXPECT_EQ(builtIn, BootstrapSettings.MsiSha256);

    BOOTSTRAP_SETTINGS settings = BootstrapSettings;
    const std::string unrelated = "ServerPort=81\n";
    ApplySettingsText(&settings, unrelated.data(), unrelated.size());
    EXPECT_EQ(builtIn, settings.MsiSha256);

    const std::string overriding = "MsiSha256=ffff\n";
    ApplySettingsText(&settings, overriding.data(), overriding.size());
    EXPECT_EQ(std::wstring(L"ffff"), settings.MsiSha256);
}

TEST(PinnedDefault, EveryBuiltInSettingIsTheDefault)
{
    EXPECT_EQ(std::wstring(L"HTTPS"), BootstrapSettings.ServerScheme);
    EXPECT_EQ(std::wstring(L"dl.example.com"), BootstrapSettings.ServerAddress);
    EXPECT_EQ(8443, BootstrapSettings.ServerPort);
    EXPECT_EQ(std::wstring(L"/pkg/Setup.msi"), BootstrapSettings.MsiServerPath);
    EXPECT_EQ(std::wstring(L"Setup.msi"), BootstrapSettings.MsiLocalPath);
}

}  // namespace
