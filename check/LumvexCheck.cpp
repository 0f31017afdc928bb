// lumvex-check: asks every host of a release as LumvexInstaller.exe would, and says what the
// program will do with each, before its users find out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <curl/curl.h>
#include <iconv.h>

#include "HostCheck.h"
#include "Report.h"
#include "download/core/RetryPolicy.h"
#include "settings/SettingsParse.h"
#include "text/PlainText.h"

namespace {

const char USAGE[] = "Usage: lumvex-check [options]\n"
                     "\n"
                     "Asks every host of a release as LumvexInstaller.exe would, in its order, and says what it\n"
                     "does with each: serves, serves with warnings, or leaves it for the next (and why).\n"
                     "Exit status 0 when every host serves, 1 when the program would leave any, 2 for bad options.\n"
                     "\n"
                     "What the program is built with (as scripts/release.sh takes them) and started with:\n"
                     "  --settings FILE        a LumvexInstallerConfig.ini, over the options below as in the "
                     "program\n"
                     "  --code-page N          the users' system code page, for values that are no UTF-8\n"
                     "                         (default 936, Simplified Chinese Windows)\n"
                     "  --scheme http|https    ServerScheme               (default http)\n"
                     "  --server HOST          ServerAddress              (default dl.lumvex.com)\n"
                     "  --port N               ServerPort, 0 to 65535     (default 80; 0: the scheme's own)\n"
                     "  --path PATH            MsiServerPath              (default /LumvexSetup.msi)\n"
                     "  --local NAME.msi       MsiLocalPath               (default LumvexSetup.msi)\n"
                     "  --mirror HOST[:PORT]   one more host for ServerMirrors (repeat, at most 8)\n"
                     "  --pin HEX              the built-in MsiSha256: a settings file does not change it\n"
                     "  --package-key PUB.pem  a built-in package key (repeat once for the next key)\n"
                     "  --package-not-before SECONDS  the oldest package signature taken\n"
                     "\n"
                     "How to check:\n"
                     "  --full                 read each whole package and check its SHA-256 against the\n"
                     "                         signature or the pin\n"
                     "  --json                 print JSON for CI instead of the table\n"
                     "  --ca FILE              CA certificates to trust for https (default: the system's)\n"
                     "  --answer-wait SECONDS  the wait for an answer's head (default 95, as the program's)\n"
                     "  --retry-span SECONDS   how long the program retries without progress (default 60, as built)\n"
                     "  --host HOST[:PORT]     check only this host of the list\n"
                     "  -h, --help             this text\n";

struct OPTIONS {
    std::string settingsFile;
    std::string text;  // the options as settings lines, read by the program's own reader
    std::string pin;
    bool pinGiven = false;
    std::vector<std::string> mirrors;
    std::vector<std::string> keyFiles;
    uint64_t notBefore = 0;
    bool full = false;
    bool json = false;
    std::string caFile;
    long msAnswer = 95000;
    uint64_t msRetrySpan = 60000;
    std::string host;  // only this host of the list; empty: all
};

// The code page a settings file's values are read in where they are no UTF-8, as the users'
// systems read them.
std::string CodePage = "CP936";

bool KnownCodePage(const std::string &name)
{
    iconv_t converter = iconv_open("WCHAR_T", name.c_str());
    if (converter != (iconv_t)-1)
        iconv_close(converter);
    return converter != (iconv_t)-1;
}

// The program's reader of a code page, by iconv.
bool ReadInCodePage(const char *bytes, size_t cb, wchar_t *text, size_t cchText)
{
    std::vector<wchar_t> wide(cb + 1);
    iconv_t converter = iconv_open("WCHAR_T", CodePage.c_str());
    if (converter == (iconv_t)-1)
        return false;
    char *in = const_cast<char *>(bytes);
    char *out = (char *)wide.data();
    size_t cbIn = cb;
    size_t cbOut = cb * sizeof(wchar_t);
    bool read = iconv(converter, &in, &cbIn, &out, &cbOut) != (size_t)-1 && cbIn == 0;
    iconv_close(converter);
    size_t cch = (size_t)((wchar_t *)out - wide.data());
    text[0] = L'\0';
    return read && cch > 0 && CopySpan(text, cchText, wide.data(), wide.data() + cch);
}

bool ReadNumber(const char *text, uint64_t max, uint64_t *value)
{
    char *end = NULL;
    *value = strtoull(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && *value <= max;
}

// Printable ASCII without a line end: what a settings line carries.
bool IsSettingText(const char *value)
{
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < ' ' || *p > '~')
            return false;
    }
    return true;
}

// 0 when read, else the exit status for bad options (2) or help (0, with help set).
int ReadOptions(int argc, char **argv, OPTIONS *options, bool *help)
{
    static const char *const SETTINGS[][2] = {{"--scheme", "ServerScheme"},
                                              {"--server", "ServerAddress"},
                                              {"--port", "ServerPort"},
                                              {"--path", "MsiServerPath"},
                                              {"--local", "MsiLocalPath"}};
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        bool takesValue = strcmp(option, "--full") != 0 && strcmp(option, "--json") != 0 && strcmp(option, "-h") != 0 &&
                          strcmp(option, "--help") != 0;
        if (takesValue && (value == NULL || !IsSettingText(value))) {
            fprintf(stderr, "lumvex-check: %s needs a value\n", option);
            return 2;
        }
        uint64_t number = 0;
        bool known = true;
        const char *key = NULL;
        for (const auto &setting : SETTINGS)
            key = strcmp(option, setting[0]) == 0 ? setting[1] : key;
        if (key != NULL) {
            if (strcmp(option, "--port") == 0 && !ReadNumber(value, 65535, &number)) {
                fprintf(stderr, "lumvex-check: --port must be 0 to 65535\n");
                return 2;
            }
            options->text += std::string(key) + "=" + value + "\n";
        } else if (strcmp(option, "--settings") == 0) {
            options->settingsFile = value;
        } else if (strcmp(option, "--code-page") == 0 && ReadNumber(value, 65535, &number) &&
                   KnownCodePage("CP" + std::to_string(number))) {
            CodePage = "CP" + std::to_string(number);
        } else if (strcmp(option, "--mirror") == 0) {
            options->mirrors.push_back(value);
        } else if (strcmp(option, "--pin") == 0) {
            options->pin = value;
            options->pinGiven = true;
        } else if (strcmp(option, "--package-key") == 0) {
            options->keyFiles.push_back(value);
        } else if (strcmp(option, "--package-not-before") == 0 && ReadNumber(value, UINT64_MAX, &number)) {
            options->notBefore = number;
        } else if (strcmp(option, "--ca") == 0) {
            options->caFile = value;
        } else if (strcmp(option, "--answer-wait") == 0 && ReadNumber(value, 3600, &number) && number > 0) {
            options->msAnswer = (long)number * 1000;
        } else if (strcmp(option, "--retry-span") == 0 && ReadNumber(value, 3600, &number)) {
            options->msRetrySpan = number * 1000;
        } else if (strcmp(option, "--host") == 0) {
            options->host = value;
        } else if (strcmp(option, "--full") == 0) {
            options->full = true;
        } else if (strcmp(option, "--json") == 0) {
            options->json = true;
        } else if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            *help = true;
        } else {
            known = false;
        }
        if (!known) {
            fprintf(stderr, "lumvex-check: %s is not an option, or its value does not read (see --help)\n", option);
            return 2;
        }
        i += takesValue ? 1 : 0;
    }
    return 0;
}

// The settings the program would run with: its defaults, what the build gives it, then the
// settings file beside it, but for a built-in pin. False when the file cannot be read.
bool AssembleSettings(const OPTIONS &options, BOOTSTRAP_SETTINGS *settings)
{
    std::string built = options.text;
    for (size_t i = 0; i < options.mirrors.size(); ++i)
        built += (i == 0 ? "ServerMirrors=" : ",") + options.mirrors[i] + (i + 1 == options.mirrors.size() ? "\n" : "");
    if (options.pinGiven)
        built += "MsiSha256=" + options.pin + "\n";
    ApplySettingsText(settings, built.data(), built.size(), ReadInCodePage);
    if (!options.settingsFile.empty()) {
        FILE *file = fopen(options.settingsFile.c_str(), "rb");
        if (file == NULL)
            return false;
        char text[SETTINGS_CB_MAX + 1] = {0};
        size_t cb = fread(text, 1, SETTINGS_CB_MAX, file);
        fclose(file);
        ApplySettingsText(settings, text, cb, ReadInCodePage);
    }
    if (options.pinGiven)
        StoreSettingText(settings->MsiSha256, SETTINGS_CCH_SHA256, options.pin.c_str(), NULL);
    return true;
}

// The index in the list of "HOST" or "HOST:PORT" (the scheme's own port when none is given);
// -1 when it is none of them.
int32_t FindHost(const SERVER_LIST &servers, const std::string &text, SERVER_SCHEME scheme)
{
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    long port = colon == std::string::npos ? -1 : strtol(text.c_str() + colon + 1, NULL, 10);
    for (uint32_t i = 0; i < servers.count; ++i) {
        std::wstring name = servers.servers[i].host;
        uint16_t serverPort = PortFor(scheme, servers.servers[i].port);
        if (std::string(name.begin(), name.end()) == host && (port < 0 || port == serverPort ||
                                                              port == servers.servers[i].port))
            return (int32_t)i;
    }
    return -1;
}

// Why the program would ask nothing at all with these settings; empty when they read.
std::string Unreadable(const BOOTSTRAP_SETTINGS &settings, bool serversRead, CHECK_SETUP *setup)
{
    setup->pinned = ParseSha256(settings.MsiSha256, setup->pin);
    if (ParseScheme(settings.ServerScheme) == SCHEME_INVALID)
        return "ServerScheme is neither http nor https";
    if (!serversRead)
        return "ServerMirrors does not read as a list of hosts";
    if (!IsPackagePath(settings.MsiLocalPath))
        return "MsiLocalPath is not a package's path";
    if (!setup->pinned && settings.MsiSha256[0] != L'\0')
        return "MsiSha256 is not 64 hex digits";
    return std::string();
}

}  // namespace

int main(int argc, char **argv)
{
    OPTIONS options;
    bool help = false;
    int status = ReadOptions(argc, argv, &options, &help);
    if (status != 0 || help) {
        fputs(USAGE, status != 0 ? stderr : stdout);
        return status;
    }
    BOOTSTRAP_SETTINGS settings = BootstrapSettings;
    std::string error;
    CHECK_SETUP setup = {};
    if (!AssembleSettings(options, &settings)) {
        fprintf(stderr, "lumvex-check: cannot read %s\n", options.settingsFile.c_str());
        return 2;
    }
    if (!ReadPackageKeys(options.keyFiles, &setup.keys, &error)) {
        fprintf(stderr, "lumvex-check: %s\n", error.c_str());
        FreeKeys(&setup.keys);
        return 2;
    }
    SERVER_LIST servers;
    bool serversRead = ListServers(&settings, &servers);
    std::string unreadable = Unreadable(settings, serversRead, &setup);
    setup.scheme = ParseScheme(settings.ServerScheme);
    setup.serverPath = settings.MsiServerPath;
    setup.notBefore = options.notBefore;
    setup.otherHosts = servers.count > 1;
    setup.full = options.full;
    setup.caFile = options.caFile;
    // The program's own bounds: the name and two addresses, the whole head, the stall window.
    setup.timing = {35000, options.msAnswer, 60000};
    TransferTiming.msRetrySpan = (uint32_t)options.msRetrySpan;
    int32_t only = options.host.empty() ? -1 : FindHost(servers, options.host, setup.scheme);
    if (!options.host.empty() && only < 0) {
        fprintf(stderr, "lumvex-check: %s is not a host of the list\n", options.host.c_str());
        FreeKeys(&setup.keys);
        return 2;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::vector<HOST_REPORT> reports;
    for (uint32_t i = 0; i < servers.count; ++i) {
        if (only < 0 || (uint32_t)only == i)
            reports.push_back(unreadable.empty() ? CheckHost(setup, servers.servers[i])
                                                 : UnreadableSettings(servers.servers[i], unreadable, setup.scheme));
    }
    curl_global_cleanup();
    FreeKeys(&setup.keys);

    if (options.json) {
        PrintJson(stdout, reports, only < 0 ? Summary(reports) : std::string());
    } else {
        PrintTable(stdout, reports);
        if (only < 0)
            printf("\n%s\n", Summary(reports).c_str());
    }
    for (const HOST_REPORT &report : reports)
        status = report.verdict == VERDICT_LEAVES ? 1 : status;
    return status;
}
