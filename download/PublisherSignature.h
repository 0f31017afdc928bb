// The publisher's signature of the package, fetched from the host about to be asked for it and
// checked against the keys built in. Worker thread only.
#pragma once

#include "Request.h"
#include "core/SignatureText.h"

// Asks the route's host for "<MsiServerPath>.sig" on the open connection and keeps it in
// signature when a built-in key made it, for this request path, no earlier than the build
// takes. False otherwise, attempt saying why (transient when the host may give it later).
bool FetchSignature(HTTP_REQUEST *http, const ROUTE *route, PACKAGE_SIGNATURE *signature, TRY_OUTCOME *attempt);
