// The package while it arrives: "<MsiLocalPath>.part", and beside it the state that lets a
// later run resume it. Worker thread only.
#pragma once

#include <stdint.h>

#include <windows.h>

#include "core/ResumePolicy.h"
#include "Verify.h"

enum { CCH_PART_PATH = CCH_PACKAGE_PATH + 11 };

struct PART_FILE {
    HANDLE hFile;  // held without sharing from the first byte of a body to the end of the run
    wchar_t path[CCH_PART_PATH];       // "<PackagePath>.part"
    wchar_t statePath[CCH_PART_PATH];  // "<PackagePath>.resume"
    uint32_t checkpoint;               // the count the state on disk records
    uint32_t checkpointDue;            // the count at which the next checkpoint is tried
    const SERVER *source;              // the host the bytes came from, as the state records it
    bool hasSha256;                    // the SHA-256 they are checked against, where known,
    uint8_t sha256[CB_SHA256];         // as the state records it
    bool heldElsewhere;                // another copy, or another program, had the .part open
};

// Names the files after PackagePath; opens nothing.
void InitPartFile(PART_FILE *part);

// The package name may be taken over: nothing there, or a plain file nobody holds open.
bool CanTakePackageName();

// The package's volume holds cbToWrite more bytes with the margin to spare, counting the .part's
// bytes as free when a new body replaces them. False too when the volume does not say.
bool HasRoomFor(const PART_FILE *part, uint32_t cbToWrite, bool replacing);

// Takes up what an earlier run left for these settings and one of these hosts: the .part is
// opened, cut to the recorded count and positioned there, state says what it holds and
// source which host it came from. False when nothing fits, after both files are deleted; a
// .part that another copy of the program holds is its own, and neither file is touched.
bool OpenKeptPart(PART_FILE *part, const SERVER_LIST *servers, RESUME_STATE *state, int32_t *source);

// Feeds the first cb bytes of the opened .part to verifier, from its first byte; the file
// position stays at cb. False when they cannot be read or are not the package's.
bool VerifyKeptBytes(PART_FILE *part, PACKAGE_VERIFIER *verifier, uint32_t cb);

// Creates the .part, or empties the one already held, for a body that starts from its first
// byte, checked against sha256 where not NULL; the state now records that body when a
// validator vouches for it, and is gone otherwise. False, touching neither file, when the
// .part cannot be had (another copy holds it).
bool StartPart(PART_FILE *part, const wchar_t *validator, uint32_t total, const uint8_t *sha256);

// Writes the whole piece after what the .part holds.
bool AppendPart(PART_FILE *part, const BYTE *data, DWORD cb);

// Flushes the .part, then records that its first received bytes are the package's under
// validator, which is not empty (written aside and renamed, so never seen half-written).
void CheckpointPart(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received);

// A checkpoint every CB_CHECKPOINT bytes, tried once each time whether or not it is recorded,
// and none without a validator: nothing could vouch for the bytes.
void CheckpointIfDue(PART_FILE *part, const wchar_t *validator, uint32_t total, uint32_t received);

// Flushes and closes the .part of a whole package that verifier passed (else it refuses) and
// gives it the package's name; the state goes. *phPackage then holds that same file open for
// reading, others allowed only to read it, until the caller closes it (INVALID_HANDLE_VALUE
// where something else holds it already). False when it cannot: where the name alone is
// refused (the old package held open), the .part stays with a state that counts all of it, so
// the next run checks it again and only renames; false too when another file has taken the
// name since, or the held file no longer has the digest the checks took.
bool CompletePart(PART_FILE *part, const PACKAGE_VERIFIER *verifier, const wchar_t *validator, uint32_t total,
                  HANDLE *phPackage);

// Closes the .part, leaving it and its state for a later run.
void KeepPart(PART_FILE *part);

// Deletes the state and the .part, if this run holds the .part; the state first, while the
// .part is still held, so that no other copy's state is ever touched.
void DiscardPart(PART_FILE *part);
