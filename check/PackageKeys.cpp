#include "PackageKeys.h"

#include <stdio.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "download/core/PackageTrust.h"

struct PUBLIC_KEY {
    EVP_PKEY *key;
};

// RSA of 2048 to 4096 bits whose exponent fits 32 bits: what the program's CryptoAPI key
// blob carries.
static bool IsPackageKey(EVP_PKEY *key)
{
    BIGNUM *exponent = NULL;
    int bits = EVP_PKEY_get_bits(key);
    bool taken = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && bits >= CB_RSA_MIN * 8 && bits <= CB_RSA_MAX * 8 &&
                 EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) && BN_num_bits(exponent) <= 32;
    BN_free(exponent);
    return taken;
}

bool ReadPackageKeys(const std::vector<std::string> &files, std::vector<PUBLIC_KEY *> *keys, std::string *error)
{
    if (files.size() > MAX_PACKAGE_KEYS) {
        *error = "at most two package keys, one to sign with and one to move to";
        return false;
    }
    for (const std::string &file : files) {
        FILE *pem = fopen(file.c_str(), "r");
        EVP_PKEY *key = pem != NULL ? PEM_read_PUBKEY(pem, NULL, NULL, NULL) : NULL;
        if (pem != NULL)
            fclose(pem);
        if (key == NULL || !IsPackageKey(key)) {
            EVP_PKEY_free(key);
            *error = "package key " + file + " is not a PEM public RSA key of 2048 to 4096 bits with a 32-bit exponent";
            return false;
        }
        keys->push_back(new PUBLIC_KEY{key});
    }
    return true;
}

void FreeKeys(std::vector<PUBLIC_KEY *> *keys)
{
    for (PUBLIC_KEY *key : *keys) {
        EVP_PKEY_free(key->key);
        delete key;
    }
    keys->clear();
}

int SigningKey(const std::vector<PUBLIC_KEY *> &keys, const char *text, const PACKAGE_SIGNATURE *signature)
{
    for (size_t i = 0; i < keys.size(); ++i) {
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        // PKCS#1 v1.5 with SHA-256 over the signed lines, the RSA key's default padding.
        bool verified = context != NULL && EVP_DigestVerifyInit(context, NULL, EVP_sha256(), NULL, keys[i]->key) == 1 &&
                        EVP_DigestVerify(context, signature->rsa, signature->cbRsa, (const unsigned char *)text,
                                         signature->cbSigned) == 1;
        EVP_MD_CTX_free(context);
        if (verified)
            return (int)i + 1;
    }
    return 0;
}
