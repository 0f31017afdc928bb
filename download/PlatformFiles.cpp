// The package's own files and the clock, for the transfer, over the file system. A handle is
// the platform's file itself.
#include "core/TransferPlatform.h"

#include <windows.h>

#include "settings/Settings.h"
#include "text/PlainText.h"

// The longest suffix, ".resume.new", still fits: the package's path leaves room for it.
enum { CCH_NAME = CCH_PACKAGE_PATH + 11 };

static void MakePath(wchar_t *path, PACKAGE_NAME name)
{
    static const wchar_t *const SUFFIXES[] = {L"", L".part", L".resume", L".resume.new"};
    size_t cch = 0;
    AppendText(path, CCH_NAME, &cch, PackagePath);
    AppendText(path, CCH_NAME, &cch, SUFFIXES[name]);
}

static HANDLE HandleOf(PLATFORM_FILE *file)
{
    return (HANDLE)file;
}

uint32_t PlatformTicks()
{
    return GetTickCount();
}

void PlatformSleep(uint32_t ms)
{
    Sleep(ms);
}

PLATFORM_FILE *PlatformOpen(PACKAGE_NAME name, FILE_OPENING opening, FILE_FACTS *facts)
{
    wchar_t path[CCH_NAME];
    BY_HANDLE_FILE_INFORMATION info;
    ZeroMemory(facts, sizeof(*facts));
    MakePath(path, name);
    // A link is opened itself, so that it shows as one and is never followed.
    HANDLE hFile = opening == OPEN_SHARED
                       ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                       : CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                     opening == OPEN_HELD ? OPEN_EXISTING : CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    facts->heldElsewhere = hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    if (hFile != INVALID_HANDLE_VALUE && GetFileInformationByHandle(hFile, &info)) {
        facts->link = info.nNumberOfLinks > 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts->volume = info.dwVolumeSerialNumber;
        facts->index = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
        facts->identified = true;
    } else if (hFile != INVALID_HANDLE_VALUE) {
        // Unknown is taken as a link: written through, it might change another file.
        facts->link = true;
    }
    return hFile == INVALID_HANDLE_VALUE ? NULL : (PLATFORM_FILE *)hFile;
}

bool PlatformRead(PLATFORM_FILE *file, uint8_t *data, uint32_t cb, uint32_t *cbRead)
{
    DWORD cbDone = 0;
    bool read = ReadFile(HandleOf(file), data, cb, &cbDone, NULL) != FALSE;
    *cbRead = read ? cbDone : 0;
    return read;
}

bool PlatformWrite(PLATFORM_FILE *file, const uint8_t *data, uint32_t cb)
{
    DWORD cbWritten = 0;
    return WriteFile(HandleOf(file), data, cb, &cbWritten, NULL) && cbWritten == cb;
}

bool PlatformSeek(PLATFORM_FILE *file, uint32_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(HandleOf(file), position, NULL, FILE_BEGIN) != 0;
}

bool PlatformCut(PLATFORM_FILE *file)
{
    return SetEndOfFile(HandleOf(file)) != FALSE;
}

bool PlatformSize(PLATFORM_FILE *file, uint64_t *cb)
{
    LARGE_INTEGER size;
    bool known = GetFileSizeEx(HandleOf(file), &size) != FALSE;
    *cb = known ? (uint64_t)size.QuadPart : 0;
    return known;
}

bool PlatformFlush(PLATFORM_FILE *file)
{
    return FlushFileBuffers(HandleOf(file)) != FALSE;
}

void PlatformClose(PLATFORM_FILE *file)
{
    CloseHandle(HandleOf(file));
}

bool PlatformDelete(PACKAGE_NAME name)
{
    wchar_t path[CCH_NAME];
    MakePath(path, name);
    return DeleteFileW(path) != FALSE;
}

bool PlatformRename(PACKAGE_NAME from, PACKAGE_NAME to)
{
    wchar_t fromPath[CCH_NAME];
    wchar_t toPath[CCH_NAME];
    MakePath(fromPath, from);
    MakePath(toPath, to);
    return MoveFileExW(fromPath, toPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

NAME_HOLDER PlatformNameHolder()
{
    NAME_HOLDER holder = NAME_FILE;
    DWORD attributes = GetFileAttributesW(PackagePath);
    // Asked for explicitly: not every system refuses a write open of a read-only file.
    if (attributes == INVALID_FILE_ATTRIBUTES)
        holder = NAME_EMPTY;
    else if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        holder = NAME_REFUSED;
    // A file in use elsewhere cannot be opened without sharing.
    HANDLE hExisting = holder == NAME_FILE ? CreateFileW(PackagePath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL, NULL)
                                           : INVALID_HANDLE_VALUE;
    if (holder == NAME_FILE && hExisting == INVALID_HANDLE_VALUE)
        holder = NAME_REFUSED;
    if (hExisting != INVALID_HANDLE_VALUE)
        CloseHandle(hExisting);
    return holder;
}

bool PlatformFreeSpace(uint64_t *cb)
{
    wchar_t folder[CCH_PACKAGE_PATH];
    ULARGE_INTEGER available;
    const wchar_t *name = wcsrchr(PackagePath, L'\\');
    bool known = name != NULL && CopySpan(folder, CCH_PACKAGE_PATH, PackagePath, name + 1) &&
                 GetDiskFreeSpaceExW(folder, &available, NULL, NULL);
    *cb = known ? available.QuadPart : 0;
    return known;
}
