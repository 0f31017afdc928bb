#include <string>
#include <wchar.h>

#include <gtest/gtest.h>

#include "download/core/SignatureText.h"

namespace {

std::string Hex(size_t cb, const char *pair = "ab")
{
    std::string hex;
    for (size_t i = 0; i < cb; ++i)
        hex += pair;
    return hex;
}

const std::string SIGNED = "LumvexPackageSignature=1\nName=LumvexSetup.msi\nLength=1048576\nSha256=" + Hex(32, "0f") +
                           "\nTime=1796601600\n";
const std::string SIGNATURE = SIGNED + "RsaSha256=" + Hex(256) + "\n";

std::string Replaced(const std::string &from, const std::string &to)
{
    std::string text = SIGNATURE;
    return text.replace(text.find(from), from.size(), to);
}

TEST(SignatureText, ReadsTheLinesItCoversAndNothingElse)
{
    PACKAGE_SIGNATURE signature;
    ASSERT_TRUE(ParsePackageSignature(SIGNATURE.data(), SIGNATURE.size(), &signature));
    EXPECT_EQ(std::string("LumvexSetup.msi"), signature.name);
    EXPECT_EQ(1048576u, signature.length);
    EXPECT_EQ(0x0F, signature.sha256[0]);
    EXPECT_EQ(1796601600u, signature.time);
    EXPECT_EQ(SIGNED.size(), signature.cbSigned);
    EXPECT_EQ(256u, signature.cbRsa);
    EXPECT_EQ(0xAB, signature.rsa[255]);

    const struct {
        const char *label;
        std::string text;
        bool reads;
    } rows[] = {
        {"a 4096-bit key's", Replaced(Hex(256), Hex(512)), true},
        {"the largest length and time", Replaced("Length=1048576", "Length=4294967295"), true},
        {"a time of 0", Replaced("Time=1796601600", "Time=0"), true},
        {"empty", "", false},
        {"cut before its last line end", SIGNATURE.substr(0, SIGNATURE.size() - 1), false},
        {"a byte after it", SIGNATURE + "x", false},
        {"CR LF line ends", Replaced("\nName", "\r\nName"), false},
        {"another version", Replaced("Signature=1", "Signature=2"), false},
        {"lines in another order", SIGNATURE.substr(0, 25) + Replaced("Name=LumvexSetup.msi\nLength=1048576", "Length=1048576\nName=LumvexSetup.msi").substr(25), false},
        {"a key in lower case", Replaced("Length", "length"), false},
        {"a blank before the value", Replaced("Length=", "Length= "), false},
        {"a name with a blank", Replaced("LumvexSetup.msi", "Lumvex Setup.msi"), false},
        {"an empty name", Replaced("Name=LumvexSetup.msi", "Name="), false},
        {"a name of 259 bytes", Replaced("LumvexSetup.msi", std::string(259, 'n')), true},
        {"a name of 260 bytes", Replaced("LumvexSetup.msi", std::string(260, 'n')), false},
        {"length 0", Replaced("Length=1048576", "Length=0"), false},
        {"length beyond 32 bits", Replaced("Length=1048576", "Length=4294967296"), false},
        {"a leading zero", Replaced("Length=1048576", "Length=01048576"), false},
        {"a signed length", Replaced("Length=1048576", "Length=+1048576"), false},
        {"a time of 19 digits", Replaced("Time=1796601600", "Time=9999999999999999999"), true},
        {"a time of 20 digits", Replaced("Time=1796601600", "Time=10000000000000000000"), false},
        {"digest in capitals", Replaced(Hex(32, "0f"), Hex(32, "0F")), false},
        {"digest one digit short", Replaced(Hex(32, "0f"), Hex(32, "0f").substr(1)), false},
        {"RSA of a 2040-bit key", Replaced(Hex(256), Hex(255)), false},
        {"RSA of a 4104-bit key", Replaced(Hex(256), Hex(513)), false},
        {"RSA with an odd digit count", Replaced(Hex(256), Hex(256) + "a"), false},
        {"two signatures", SIGNATURE + "RsaSha256=" + Hex(256) + "\n", false},
        {"a whole file's worth", SIGNATURE + std::string(CB_SIGNATURE_TEXT, '\n'), false},
    };
    for (const auto &row : rows) {
        PACKAGE_SIGNATURE read;
        EXPECT_EQ(row.reads, ParsePackageSignature(row.text.data(), row.text.size(), &read)) << row.label;
    }
}

TEST(SignatureText, FitsOnlyItsOwnFileNameAndTime)
{
    PACKAGE_SIGNATURE signature;
    ASSERT_TRUE(ParsePackageSignature(SIGNATURE.data(), SIGNATURE.size(), &signature));
    const struct {
        const char *label;
        const wchar_t *path;
        uint64_t notBefore;
        bool fits;
    } rows[] = {
        {"its name", L"/LumvexSetup.msi", 0, true},
        {"in a folder, with a query", L"/pkg/2026/LumvexSetup.msi?v=3&x=/a", 0, true},
        {"without a slash", L"LumvexSetup.msi", 0, true},
        {"signed at the oldest time taken", L"/LumvexSetup.msi", 1796601600, true},
        {"signed a second before it", L"/LumvexSetup.msi", 1796601601, false},
        {"another name", L"/LumvexSetup2.msi", 0, false},
        {"a prefix of it", L"/LumvexSetup.ms", 0, false},
        {"letter case", L"/lumvexsetup.msi", 0, false},
        {"its name as a folder", L"/LumvexSetup.msi/", 0, false},
        {"nothing after the last slash", L"/pkg/", 0, false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.fits, SignatureFits(&signature, row.path, row.notBefore)) << row.label;
}

TEST(SignatureText, PathIsThePackagesWithoutItsQuery)
{
    const struct {
        const wchar_t *serverPath;
        const wchar_t *expected;  // NULL: does not fit in 24 characters
    } rows[] = {
        {L"/LumvexSetup.msi", L"/LumvexSetup.msi.sig"},
        {L"/a.msi?v=2", L"/a.msi.sig"},
        {L"/LumvexSetup.msi.xy?v=1", L"/LumvexSetup.msi.xy.sig"},
        {L"/LumvexSetup.msi.xyz", NULL},
        {L"/LumvexSetup.msi.xyz?v=1", NULL},
    };
    for (const auto &row : rows) {
        wchar_t path[24];
        bool fits = SignaturePath(path, 24, row.serverPath);
        EXPECT_EQ(row.expected != NULL, fits) << std::string(row.serverPath, row.serverPath + wcslen(row.serverPath));
        if (row.expected != NULL && fits) {
            EXPECT_EQ(std::wstring(row.expected), path);
        }
    }
}

}  // namespace
