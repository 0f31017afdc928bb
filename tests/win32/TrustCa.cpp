// Adds a test CA (a DER file) to the current user's root store of the test prefix: programs
// started afterwards trust what it signed, with no dialog.
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

#include <string>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::string der;
    FILE *file = fopen(argv[1], "rb");
    char buffer[4096];
    size_t cb;
    while (file != NULL && (cb = fread(buffer, 1, sizeof(buffer), file)) > 0)
        der.append(buffer, cb);
    if (file != NULL)
        fclose(file);
    HCERTSTORE hStore = CertOpenSystemStoreW(0, L"ROOT");
    BOOL added = hStore != NULL && !der.empty() &&
                 CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, (const BYTE *)der.data(), (DWORD)der.size(),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    if (hStore != NULL)
        CertCloseStore(hStore, 0);
    return added ? 0 : 1;
}
