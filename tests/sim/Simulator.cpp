// The transfer's own code, run in simulated worlds: one seed, one world and one run, the same on
// every replay. Every promise is checked after every operation and at every end; a world with
// an honest host must end with the package handed over.
//   lumvex-sim [--worlds N | --minutes N] [--first SEED]   a sweep; the coverage it reached
//   lumvex-sim --seed N                                   one world, its trace printed
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "Sim.h"
#include "download/core/HostPolicy.h"
#include "download/core/PackageCheck.h"
#include "download/core/ResumePolicy.h"
#include "download/core/RetryPolicy.h"
#include "download/core/Transfer.h"
#include "settings/SettingsParse.h"
#include "text/PlainText.h"

const uint8_t *WorldKey(int index);

namespace {

const uint32_t DEFAULT_WORLDS = 20000;

// The simulator's own idea of a package's name, apart from the program's rule: a ".msi", no
// folder, nothing Windows reads otherwise.
bool LooksLikePackage(const std::wstring &name)
{
    if (name.size() < 5 || name.find_first_of(L"\\/:*?\"<>|%") != std::wstring::npos)
        return false;
    std::wstring lower;
    for (wchar_t c : name)
        lower += (wchar_t)FoldLower((uint32_t)c);
    return lower.compare(lower.size() - 4, 4, L".msi") == 0 && lower.compare(0, 4, L"con.") != 0 &&
           lower.compare(0, 4, L"nul.") != 0;
}

// The settings a run starts with: the defaults, the file, then what the build fixes.
void LoadWorldSettings(const WORLD &world, std::string *pin)
{
    static const BOOTSTRAP_SETTINGS DEFAULTS = {L"dl.lumvex.com", 80, L"/LumvexSetup.msi", L"LumvexSetup.msi", L"", L"http", L""};
    BootstrapSettings = DEFAULTS;
    ApplySettingsText(&BootstrapSettings, world.settingsText.data(), world.settingsText.size(), NULL);
    uint8_t digest[CB_SHA256];
    unsigned int cbDigest = 0;
    EVP_Digest(world.versions.back().bytes.data(), world.versions.back().bytes.size(), digest, &cbDigest, EVP_sha256(),
               NULL);
    static const char HEX[] = "0123456789abcdef";
    pin->clear();
    for (uint8_t b : digest)
        *pin += std::string(1, HEX[b >> 4]) + HEX[b & 15];
    if (world.builtInPin || world.settingsPin)
        StoreSettingText(BootstrapSettings.MsiSha256, SETTINGS_CCH_SHA256, pin->c_str(), NULL);
    PackageTrust = PACKAGE_TRUST{};
    if (world.keys) {
        PackageTrust.keys[0] = PACKAGE_KEY{WorldKey(0), 256, 65537};
        PackageTrust.keys[1] = PACKAGE_KEY{WorldKey(1), 256, 65537};
        PackageTrust.keyCount = world.twoKeys ? 2 : 1;
        PackageTrust.notBefore = world.notBefore;
    }
    // As the program makes its full path: only a package's name is taken.
    std::wstring local = BootstrapSettings.MsiLocalPath;
    PackagePath[0] = L'\0';
    if (IsPackagePath(BootstrapSettings.MsiLocalPath)) {
        std::wstring full = L"C:\\dl\\" + local;
        CopyText(PackagePath, CCH_PACKAGE_PATH, full.c_str());
    }
    Sim.packageName = local;
    Sim.packageNameOk = LooksLikePackage(local);
}

void MakeDisk(const WORLD &world)
{
    Sim.disk = DISK();
    uint64_t used = 0;
    for (const auto &planted : world.planted) {
        bool folder = planted.second == "<dir>";
        if (!folder) {
            Sim.disk.data.push_back(DATA{planted.second, false});
            used += planted.second.size();
        }
        Sim.disk.names[planted.first] = DISK_ENTRY{folder ? -1 : (int)Sim.disk.data.size() - 1, false};
    }
    if (!world.linkName.empty())
        Sim.disk.names[world.linkName] = Sim.disk.names[world.linkedTo];
    Sim.disk.capacity = used + world.diskBytes;
}

// At a run's start after a kill: what the disk says is kept, and that it fits. A run must then
// ask the host it came from for the rest, not for what it holds.
void ExpectKeptBytes(const WORLD &world)
{
    uint32_t total = 0;
    Sim.firstPackageAsked = false;
    Sim.expectRangeHost = world.keys || world.partHeldByOther ? -1 : KeptOnDisk(&Sim.expectRangeFrom, &total);
}

}  // namespace

// What a run leaves must be what the promises allow: nothing held but the package handed over,
// and that package one that passed the gate.
static void CheckEnd(uint32_t result, PLATFORM_FILE *held)
{
    if (!Sim.requestsOpen.empty() || !Sim.hashes.empty() || Sim.files.size() != (held != NULL ? 1u : 0u))
        Broken("the run ends with something still open (" + std::to_string(Sim.files.size()) + " files, " +
               std::to_string(Sim.requestsOpen.size()) + " requests, " + std::to_string(Sim.hashes.size()) + " hashes)");
    auto package = Sim.disk.names.find(NameOf(NAME_PACKAGE));
    if (result == 0) {
        static const std::string NONE;
        const std::string &bytes = package == Sim.disk.names.end() || package->second.data < 0
                                       ? NONE
                                       : Sim.disk.data[package->second.data].bytes;
        if (!IsVersion(bytes) || !Sim.packageNameOk)
            Broken("the run says the package is ready, but its name holds no package that passes the gate");
        if (held != NULL && ((PLATFORM_FILE *)held)->data != package->second.data)
            Broken("the file handed over is not the one under the package's name");
        Sim.covered[COVERED_HANDED_OVER] = true;
    }
}

// One process of the program, to its end or its kill; false when a promise broke.
static bool RunProcess(bool last)
{
    jmp_buf exit;
    static PLATFORM_FILE *held;
    held = NULL;
    Sim.exit = &exit;
    int left = setjmp(exit);
    if (left == 0) {
        uint32_t result = RunTransfer(&held);
        Trace("the run ends with " + std::to_string(result));
        CheckEnd(result, held);
        if (held != NULL)
            PlatformClose(held);
        // A world where an honest host serves must end with the package handed over.
        if (Sim.world.honest && last && result != 0)
            Broken("the run gives up although " + Narrow(Sim.world.hosts[Sim.world.honestHost].name) +
                   " serves the signed package as it should");
    }
    return left != 2;
}

// One world: its runs, killed or not, to the last; false when a promise broke.
static bool RunWorld(uint64_t seed, bool tracing)
{
    std::vector<bool> covered = Sim.covered;
    Sim = SIM();
    Sim.covered = covered;
    Sim.covered.resize(COVERED_COUNT, false);
    Sim.tracing = tracing;
    Sim.world = MakeWorld(seed);
    const WORLD &world = Sim.world;
    Trace(world.description);
    TransferTiming = {1000, 60000, 30000, 95000, 60000};
    std::string pin;
    LoadWorldSettings(world, &pin);
    MakeDisk(world);
    auto before = Sim.disk.names.find(NameOf(NAME_PACKAGE));
    Sim.beforeExisted = before != Sim.disk.names.end();
    Sim.before = !Sim.beforeExisted ? std::string() : before->second.data < 0 ? "<dir>" : Sim.disk.data[before->second.data].bytes;
    for (const auto &entry : Sim.disk.names)
        Sim.untouchable[entry.first] = entry.second.data < 0 ? "<dir>" : Sim.disk.data[entry.second.data].bytes;
    Sim.packageAsked.assign(world.hosts.size(), 0);
    Sim.bodiesCut.assign(world.hosts.size(), 0);
    Sim.lastBodyHost = -1;
    bool kept = true;
    for (uint32_t run = 0; run <= world.kills && kept; ++run) {
        Sim.run = run;
        Sim.calls = 0;
        Sim.killAt = run < world.kills ? world.killAt[run] : 0;
        Sim.runStart = Sim.now;
        Sim.requests = 0;
        Sim.progressSeen = false;
        Sim.lastAskedHost = -1;
        Sim.lastAskedRange = false;
        Sim.signatureHost = -1;
        Sim.packageAfterSignature = false;
        Sim.blockPageSeen = false;
        Sim.bodyUnderWay = false;
        Sim.lastKind = COVERED_LEFT_AFTER_RETRIES;
        ExpectKeptBytes(world);
        Trace("run " + std::to_string(run + 1) + (Sim.killAt ? ", to be killed at call " + std::to_string(Sim.killAt) : ""));
        kept = RunProcess(run == world.kills);
        EndProcess();
        // The next run starts a little later.
        Sim.now += 1000;
    }
    return kept;
}

static void Usage()
{
    fputs("usage: lumvex-sim [--worlds N | --minutes N] [--first SEED] | --seed N\n", stderr);
    exit(2);
}

int main(int argc, char **argv)
{
    uint64_t worlds = DEFAULT_WORLDS;
    double minutes = 0;
    uint64_t first = 1;
    bool replay = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (value == NULL)
            Usage();
        if (option == "--worlds")
            worlds = strtoull(value, NULL, 10);
        else if (option == "--minutes")
            minutes = atof(value);
        else if (option == "--first")
            first = strtoull(value, NULL, 10);
        else if (option == "--seed")
            first = strtoull(value, NULL, 10), replay = true;
        else
            Usage();
        ++i;
    }
    Sim.covered.assign(COVERED_COUNT, false);
    if (replay) {
        bool kept = RunWorld(first, true);
        fputs(Sim.trace.c_str(), stdout);
        printf("%s\n", kept ? "every promise kept" : ("BROKEN: " + Sim.violation).c_str());
        fflush(stdout);
        _exit(kept ? 0 : 1);
    }
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    uint64_t ran = 0;
    int status = 0;
    for (uint64_t seed = first;; ++seed) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        double seconds = (double)(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        if (minutes > 0 ? seconds >= minutes * 60 : ran >= worlds)
            break;
        ++ran;
        if (!RunWorld(seed, false)) {
            // The same seed again, with its trace: the same world, the same run.
            std::vector<bool> covered = Sim.covered;
            RunWorld(seed, true);
            printf("%sBROKEN after %llu worlds: %s\nreplay: lumvex-sim --seed %llu\n", Sim.trace.c_str(),
                   (unsigned long long)ran, Sim.violation.c_str(), (unsigned long long)seed);
            // The broken run was left by a jump: what its frames held is not freed, and is no leak.
            fflush(stdout);
            _exit(1);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    double seconds = (double)(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
    printf("%llu worlds from seed %llu in %.1f s (%.0f a second), every promise kept\n", (unsigned long long)ran,
           (unsigned long long)first, seconds, ran / (seconds > 0 ? seconds : 1));
    for (int i = 0; i < COVERED_COUNT; ++i) {
        printf("  %s %s\n", Sim.covered[i] ? "reached:    " : "NOT REACHED:", COVERED_NAMES[i]);
        status = Sim.covered[i] ? status : 1;
    }
    if (status != 0)
        printf("an outcome the sweep must reach was not reached: the simulator stopped exploring it\n");
    return status;
}
