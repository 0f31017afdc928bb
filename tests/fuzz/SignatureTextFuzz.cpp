// A signature comes from whatever host answers: any bytes must be read within their bounds,
// and what reads as a signature must cover exactly the lines before its RSA line.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "download/core/SignatureText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The exact size: a read past the text's end is a sanitizer error.
    char *text = (char *)malloc(size == 0 ? 1 : size);
    memcpy(text, data, size);
    PACKAGE_SIGNATURE signature;
    if (ParsePackageSignature(text, size, &signature)) {
        static const char rsaLine[] = "\nRsaSha256=";
        if (signature.cbSigned < sizeof(rsaLine) - 1 || signature.cbSigned >= size ||
            memcmp(text + signature.cbSigned - 1, rsaLine, sizeof(rsaLine) - 1) != 0 || text[size - 1] != '\n' ||
            signature.cbRsa < CB_RSA_MIN || signature.cbRsa > CB_RSA_MAX || signature.length == 0 ||
            strlen(signature.name) == 0 || strlen(signature.name) >= CCH_SIGNED_NAME)
            abort();
        SignatureFits(&signature, L"/pkg/LumvexSetup.msi?v=1", 0);
    }
    free(text);
    return 0;
}
