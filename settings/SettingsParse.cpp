#include "SettingsParse.h"

#include <string.h>
#include <wchar.h>

#include "text/PlainText.h"

char *TrimSpaces(char *text)
{
    while (IsBlank((unsigned char)*text))
        ++text;
    if (*text == '\0')
        return text;
    char *last = text + strlen(text) - 1;
    while (last > text && IsBlank((unsigned char)*last))
        --last;
    last[1] = '\0';
    return text;
}

int CompareNoCase(const char *a, const char *b)
{
    // Texts that agree in their first 8192 characters compare equal.
    for (int n = 0; n < 8192; ++n, ++a, ++b) {
        uint32_t ca = FoldUpper((unsigned char)*a);
        uint32_t cb = FoldUpper((unsigned char)*b);
        if (ca != cb)
            return (int)ca - (int)cb;
        if (ca == '\0')
            return 0;
    }
    return 0;
}

int32_t ParseDecimalInt32(const char *text)
{
    while (IsBlank((unsigned char)*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    // Accumulate the magnitude, stopping once it is past the range on either side.
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= INT32_MAX)
            magnitude = magnitude * 10 + (*text - '0');
    }
    if (negative)
        return magnitude > INT32_MAX ? INT32_MIN : (int32_t)-magnitude;
    return magnitude > INT32_MAX ? INT32_MAX : (int32_t)magnitude;
}

bool StoreSettingText(wchar_t *field, size_t cchField, const char *value, CODE_PAGE_READER readCodePage)
{
    const char *end = value + strlen(value);
    size_t cch = 0;
    bool whole = true;
    field[0] = L'\0';
    for (const char *p = value; p < end;) {
        uint32_t c = 0;
        if (!NextUtf8(&p, end, &c)) {
            // Not UTF-8: the whole value is the system code page's, as Notepad saved it there.
            field[0] = L'\0';
            return readCodePage != NULL && readCodePage(value, (size_t)(end - value), field, cchField);
        }
        // Cut at a character, never inside one.
        whole = whole && AppendCharacter(field, cchField, &cch, c);
    }
    return whole;
}

static bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The system keeps these names for devices in every folder, whatever follows the first dot,
// blanks before it ignored; a superscript 1, 2 or 3 counts as a digit after COM and LPT.
static bool IsDeviceName(const wchar_t *begin, const wchar_t *end)
{
    static const wchar_t *const DEVICES[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$", L"clock$"};
    const wchar_t *stem = begin;
    while (stem < end && *stem != L'.')
        ++stem;
    while (stem > begin && stem[-1] == L' ')
        --stem;
    bool device = false;
    for (const wchar_t *name : DEVICES)
        device = device || EqualsNoCase(begin, stem, name);
    wchar_t last = stem - begin == 4 ? begin[3] : L'\0';
    return device || ((AfterPrefixNoCase(begin, stem, L"com") || AfterPrefixNoCase(begin, stem, L"lpt")) &&
                      (IsDigit((uint32_t)last) || last == 0xB9 || last == 0xB2 || last == 0xB3));
}

bool IsPackagePath(const wchar_t *path)
{
    const wchar_t *end = TextEnd(path);
    const wchar_t *name = path;
    // A drive letter, its colon and a separator.
    if (end - path >= 3 && path[1] == L':' && FoldLower((uint32_t)path[0]) - 'a' < 26 && IsSeparator(path[2]))
        name = path + 3;
    if (end - path < 4 || !EqualsNoCase(end - 4, end, L".msi"))
        return false;
    for (const wchar_t *p = name;; ++p) {
        if (p < end && !IsSeparator(*p)) {
            if (*p < 0x20 || wcschr(L"<>:\"|?*%", *p) != NULL)
                return false;
            continue;
        }
        bool dots = (p - name == 1 && name[0] == L'.') || (p - name == 2 && name[0] == L'.' && name[1] == L'.');
        if (p == name || (!dots && (p[-1] == L'.' || p[-1] == L' ')) || IsDeviceName(name, p))
            return false;
        if (p == end)
            return true;
        name = p + 1;
    }
}

bool IsPackageFullPath(const wchar_t *path)
{
    const wchar_t *end = TextEnd(path);
    return end - path >= 4 && EqualsNoCase(end - 4, end, L".msi") && wcschr(path, L'%') == NULL;
}

void ForEachSettingsLine(const char *text, size_t cb, SETTINGS_LINE_VISITOR visit, void *context)
{
    if (cb > SETTINGS_CB_MAX)
        cb = SETTINGS_CB_MAX;
    // A line can be no longer than the text, so this buffer never overflows; a zero byte
    // copied into it ends that line's text there.
    char line[SETTINGS_CB_MAX + 1];
    size_t cbLine = 0;
    for (size_t j = 0; j <= cb; ++j) {
        if (j < cb && text[j] != '\n') {
            line[cbLine++] = text[j];
            continue;
        }
        line[cbLine] = '\0';
        cbLine = 0;
        char *equals = strchr(line, '=');
        if (equals == NULL)
            continue;
        *equals = '\0';
        visit(context, TrimSpaces(line), TrimSpaces(equals + 1));
    }
}

struct SETTINGS_READER {
    BOOTSTRAP_SETTINGS *settings;
    CODE_PAGE_READER readCodePage;
};

static void ApplySettingsLine(void *context, const char *key, const char *value)
{
    BOOTSTRAP_SETTINGS *settings = ((SETTINGS_READER *)context)->settings;
    CODE_PAGE_READER readCodePage = ((SETTINGS_READER *)context)->readCodePage;
    if (CompareNoCase(key, "ServerAddress") == 0)
        StoreSettingText(settings->ServerAddress, SETTINGS_CCH_TEXT, value, readCodePage);
    else if (CompareNoCase(key, "ServerPort") == 0)
        settings->ServerPort = ParseDecimalInt32(value);
    else if (CompareNoCase(key, "MsiServerPath") == 0)
        StoreSettingText(settings->MsiServerPath, SETTINGS_CCH_TEXT, value, readCodePage);
    else if (CompareNoCase(key, "MsiLocalPath") == 0)
        StoreSettingText(settings->MsiLocalPath, SETTINGS_CCH_TEXT, value, readCodePage);
    else if (CompareNoCase(key, "MsiSha256") == 0 && !MsiSha256BuiltIn)
        StoreSettingText(settings->MsiSha256, SETTINGS_CCH_SHA256, value, readCodePage);
    else if (CompareNoCase(key, "ServerScheme") == 0)
        StoreSettingText(settings->ServerScheme, SETTINGS_CCH_SCHEME, value, readCodePage);
    else if (CompareNoCase(key, "ServerMirrors") == 0)
        StoreSettingText(settings->ServerMirrors, SETTINGS_CCH_MIRRORS, value, readCodePage);
}

void ApplySettingsText(BOOTSTRAP_SETTINGS *settings, const char *text, size_t cb, CODE_PAGE_READER readCodePage)
{
    static const char MARK[] = "\xEF\xBB\xBF";
    SETTINGS_READER reader = {settings, readCodePage};
    // A mark where Notepad saves one, not part of the first key.
    if (cb >= 3 && memcmp(text, MARK, 3) == 0) {
        text += 3;
        cb -= 3;
    }
    ForEachSettingsLine(text, cb, ApplySettingsLine, &reader);
}
