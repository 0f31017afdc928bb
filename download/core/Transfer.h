// The whole download in one place: hosts and tries, routes, the signature, answers, bodies, the
// stall and retry rules, kept bytes and their state, the one gate, and the file handed over. It
// reaches the system only through TransferPlatform.h, so the program and the simulator run the
// same code.
#pragma once

#include <stdint.h>

#include "TransferPlatform.h"

// Fetches MsiServerPath from the main server or a mirror, by the client's route or the user's
// proxy; the body goes to the .part, which takes the package's name only through one gate: a
// 2xx answer, exactly Content-Length bytes that start as a package does, and the whole body
// matches MsiSha256 when that is set and the publisher's signature when the build carries
// package keys. *held then holds the package open for reading, others allowed only to read it,
// for the caller to close (NULL when it is not held). Returns 0 on success; the platform's
// code when a request or its answer's head fails; 1 for every later failure. A failed run
// leaves only what a later run can resume. Settings that do not read (PackagePath empty, the
// scheme, the mirrors, the pin) touch no file and send nothing. Releases everything else it
// acquired before it returns.
uint32_t RunTransfer(PLATFORM_FILE **held);
