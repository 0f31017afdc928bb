#include "PartFile.h"

#include "settings/Settings.h"
#include "text/PlainText.h"

static const wchar_t PART_SUFFIX[] = L".part";
static const wchar_t STATE_SUFFIX[] = L".resume";
static const wchar_t STATE_WRITE_SUFFIX[] = L".resume.new";
// Kept bytes are read back in pieces of this size.
static const DWORD CB_READ_BACK = 64 * 1024;
// A run that is killed loses at most this much of what it received.
static const uint32_t CB_CHECKPOINT = 4 * 1024 * 1024;

// Always fits: the package's path leaves room for the longest suffix.
static void MakePath(wchar_t *path, const wchar_t *suffix)
{
    size_t cch = 0;
    AppendText(path, CCH_PART_PATH, &cch, PackagePath);
    AppendText(path, CCH_PART_PATH, &cch, suffix);
}

void InitPartFile(PART_FILE *part)
{
    part->hFile = INVALID_HANDLE_VALUE;
    part->checkpoint = 0;
    part->checkpointDue = CB_CHECKPOINT;
    part->source = NULL;
    part->heldElsewhere = false;
    MakePath(part->path, PART_SUFFIX);
    MakePath(part->statePath, STATE_SUFFIX);
}

// A name of ours that is a link (one of several names for a file's data, or a reparse point)
// leads to another file: written through, it would change that file.
static bool IsLink(HANDLE hFile)
{
    BY_HANDLE_FILE_INFORMATION info;
    return !GetFileInformationByHandle(hFile, &info) || info.nNumberOfLinks > 1 ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A new, empty file of our own under the name, held without sharing. Whatever had the name goes
// first, a link taking only its own name with it; never opened to be cut, which would cut the
// data of every name a link shares.
static HANDLE CreateOwnFile(const wchar_t *path, DWORD access)
{
    DeleteFileW(path);
    return CreateFileW(path, access, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The file under the name, held without sharing; a link is replaced by a new, empty file.
static HANDLE OpenOwnFile(const wchar_t *path)
{
    HANDLE hFile = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile != INVALID_HANDLE_VALUE && IsLink(hFile)) {
        CloseHandle(hFile);
        hFile = CreateOwnFile(path, GENERIC_READ | GENERIC_WRITE);
    }
    return hFile;
}

// A read-only file, a folder or a file in use would only refuse the finished download, so
// they end the transfer before its body.
bool CanTakePackageName()
{
    DWORD attributes = GetFileAttributesW(PackagePath);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // Asked for explicitly: not every system refuses a write open of a read-only file.
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return false;
    // A file in use elsewhere cannot be opened without sharing.
    HANDLE hExisting = CreateFileW(PackagePath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hExisting == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hExisting);
    return true;
}

bool HasRoomFor(const PART_FILE *part, uint32_t cbToWrite, bool replacing)
{
    wchar_t folder[CCH_PACKAGE_PATH];
    ULARGE_INTEGER available;
    LARGE_INTEGER kept;
    kept.QuadPart = 0;
    const wchar_t *name = wcsrchr(PackagePath, L'\\');
    bool known = name != NULL && CopySpan(folder, CCH_PACKAGE_PATH, PackagePath, name + 1) &&
                 GetDiskFreeSpaceExW(folder, &available, NULL, NULL);
    if (replacing && part->hFile != INVALID_HANDLE_VALUE && !GetFileSizeEx(part->hFile, &kept))
        kept.QuadPart = 0;
    return known && FitsOnVolume(available.QuadPart + (uint64_t)kept.QuadPart, cbToWrite);
}

// The state as written, read as untrusted text: anything odd reads as no state.
static bool ReadState(const wchar_t *path, RESUME_STATE *state)
{
    char text[RESUME_CB_TEXT + 1];
    DWORD cbRead = 0;
    HANDLE hFile = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    BOOL read = ReadFile(hFile, text, sizeof(text), &cbRead, NULL);
    CloseHandle(hFile);
    // A full buffer means a longer file than any state: not one of ours.
    return read && cbRead <= RESUME_CB_TEXT && ParseResumeState(text, cbRead, state);
}

static bool SeekTo(HANDLE hFile, uint32_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(hFile, position, NULL, FILE_BEGIN) != 0;
}

bool OpenKeptPart(PART_FILE *part, const SERVER_LIST *servers, RESUME_STATE *state, int32_t *source)
{
    LARGE_INTEGER size;
    *source = -1;
    // Held first: only then are the two files this run's to keep or delete.
    part->hFile = OpenOwnFile(part->path);
    if (part->hFile == INVALID_HANDLE_VALUE) {
        part->heldElsewhere = GetLastError() == ERROR_SHARING_VIOLATION;
        return false;
    }
    bool kept = ReadState(part->statePath, state) && (*source = SourceOf(state, &BootstrapSettings, servers)) >= 0 &&
                GetFileSizeEx(part->hFile, &size) && size.QuadPart >= state->received &&
                SeekTo(part->hFile, state->received) && SetEndOfFile(part->hFile);
    if (kept) {
        part->checkpoint = state->received;
        part->checkpointDue = state->received + CB_CHECKPOINT;
        part->hasSha256 = state->hasSha256;
        CopyMemory(part->sha256, state->sha256, CB_SHA256);
    } else {
        DiscardPart(part);
    }
    return kept;
}

bool VerifyKeptBytes(PART_FILE *part, PACKAGE_VERIFIER *verifier, uint32_t cb)
{
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), 0, CB_READ_BACK);
    bool verified = buffer != NULL && SeekTo(part->hFile, 0);
    for (uint32_t offset = 0; verified && offset < cb;) {
        DWORD cbWanted = cb - offset < CB_READ_BACK ? cb - offset : CB_READ_BACK;
        DWORD cbRead = 0;
        verified = ReadFile(part->hFile, buffer, cbWanted, &cbRead, NULL) && cbRead == cbWanted &&
                   UpdateVerify(verifier, offset, buffer, cbRead);
        offset += cbRead;
    }
    if (buffer != NULL)
        HeapFree(GetProcessHeap(), 0, buffer);
    return verified;
}

bool StartPart(PART_FILE *part, const wchar_t *validator, uint32_t total, const uint8_t *sha256)
{
    if (part->hFile == INVALID_HANDLE_VALUE)
        part->hFile = CreateOwnFile(part->path, GENERIC_READ | GENERIC_WRITE);
    if (part->hFile == INVALID_HANDLE_VALUE)
        return false;
    part->checkpoint = 0;
    part->checkpointDue = CB_CHECKPOINT;
    part->hasSha256 = sha256 != NULL;
    if (sha256 != NULL)
        CopyMemory(part->sha256, sha256, CB_SHA256);
    bool started = SeekTo(part->hFile, 0) && SetEndOfFile(part->hFile);
    // From the body's first byte, a killed run leaves a state that says what the .part is.
    if (started && validator[0] != L'\0')
        CheckpointPart(part, validator, total, 0);
    else
        DeleteFileW(part->statePath);
    return started;
}

bool AppendPart(PART_FILE *part, const BYTE *data, DWORD cb)
{
    DWORD cbWritten = 0;
    return WriteFile(part->hFile, data, cb, &cbWritten, NULL) && cbWritten == cb;
}

// Written whole and flushed under another name first, then renamed over the old state.
static bool WriteState(const PART_FILE *part, const RESUME_STATE *state)
{
    wchar_t writePath[CCH_PART_PATH];
    char text[RESUME_CB_TEXT];
    size_t cb = FormatResumeState(text, sizeof(text), state);
    MakePath(writePath, STATE_WRITE_SUFFIX);
    HANDLE hFile = cb == 0 ? INVALID_HANDLE_VALUE : CreateOwnFile(writePath, GENERIC_WRITE);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbWritten = 0;
    bool written = WriteFile(hFile, text, (DWORD)cb, &cbWritten, NULL) && cbWritten == cb && FlushFileBuffers(hFile);
    CloseHandle(hFile);
    written = written && MoveFileExW(writePath, part->statePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!written)
        DeleteFileW(writePath);
    return written;
}

static bool RecordState(const PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    RESUME_STATE state = {};
    SetSource(&state, &BootstrapSettings, part->source);
    CopyText(state.validator, CCH_VALIDATOR, validator);
    state.total = total;
    state.received = received;
    state.hasSha256 = part->hasSha256;
    CopyMemory(state.sha256, part->sha256, CB_SHA256);
    return WriteState(part, &state);
}

void CheckpointPart(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    part->checkpointDue = received + CB_CHECKPOINT;
    // The count may only name bytes that are on the disk.
    if (FlushFileBuffers(part->hFile) && RecordState(part, validator, total, received))
        part->checkpoint = received;
}

void CheckpointIfDue(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received)
{
    if (validator[0] != L'\0' && received >= part->checkpointDue)
        CheckpointPart(part, validator, total, received);
}

// The file that passed the gate, held from just after its rename until the shell has it: the
// installer may read it, nobody may change or replace it. False when the name now leads to
// another file.
static bool HoldPackage(const BY_HANDLE_FILE_INFORMATION *passed, HANDLE *phPackage)
{
    BY_HANDLE_FILE_INFORMATION held;
    *phPackage =
        CreateFileW(PackagePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (*phPackage == INVALID_HANDLE_VALUE)
        return true;
    bool same = GetFileInformationByHandle(*phPackage, &held) &&
                held.dwVolumeSerialNumber == passed->dwVolumeSerialNumber &&
                held.nFileIndexHigh == passed->nFileIndexHigh && held.nFileIndexLow == passed->nFileIndexLow;
    if (!same) {
        CloseHandle(*phPackage);
        *phPackage = INVALID_HANDLE_VALUE;
    }
    return same;
}

bool CompletePart(PART_FILE *part, const PACKAGE_VERIFIER *verifier, const wchar_t *validator, uint32_t total,
                  HANDLE *phPackage)
{
    BY_HANDLE_FILE_INFORMATION passed;
    // The one way to the package's name: every check passed over the whole body.
    if (!verifier->passed || part->hFile == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(part->hFile) != 0;
    bool known = GetFileInformationByHandle(part->hFile, &passed) != 0;
    // Gone while the .part is held: a second copy's state is never touched.
    DeleteFileW(part->statePath);
    CloseHandle(part->hFile);
    part->hFile = INVALID_HANDLE_VALUE;
    bool named = flushed && MoveFileExW(part->path, PackagePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    // A package that cannot take its name is kept whole for the next run, when it is this
    // run's still; one that may not be on the disk whole is not.
    if (!named) {
        part->hFile = OpenOwnFile(part->path);
        if (part->hFile != INVALID_HANDLE_VALUE && (!flushed || !RecordState(part, validator, total, total)))
            DiscardPart(part);
        KeepPart(part);
    }
    bool held = named && (!known || HoldPackage(&passed, phPackage));
    // Held, it is read once more: another program may have written to it before the hold.
    if (held && *phPackage != INVALID_HANDLE_VALUE && !StillPasses(verifier, *phPackage)) {
        CloseHandle(*phPackage);
        *phPackage = INVALID_HANDLE_VALUE;
        held = false;
    }
    return held;
}

void KeepPart(PART_FILE *part)
{
    if (part->hFile != INVALID_HANDLE_VALUE)
        CloseHandle(part->hFile);
    part->hFile = INVALID_HANDLE_VALUE;
}

void DiscardPart(PART_FILE *part)
{
    if (part->hFile == INVALID_HANDLE_VALUE)
        return;
    DeleteFileW(part->statePath);
    CloseHandle(part->hFile);
    part->hFile = INVALID_HANDLE_VALUE;
    DeleteFileW(part->path);
}
