#ifndef CRYPTWRAPPER_H
#define CRYPTWRAPPER_H

#include "crypt_exception.h"

#include <tomcrypt.h>

// One-call RSA-PSS (SHA-1, salt length 8) operations over the crypto library.
// Every failure throws crypt_exception. cryptInit() must have run (on the GUI
// thread, before any worker) before any other call; after that, import and
// verification may run on several threads at once, each with its own key.

// Size of a key file and of the built-in public key: the DER export of the
// key, filled up with zeros.
constexpr unsigned long cryptKeyFileSize = 2048;

void cryptInit();
void cryptCheck(const char* operation, int status);

void rsaImportKey(rsa_key* key, const unsigned char* der, unsigned long length);
void rsaImportKeyFile(rsa_key* key, const char* path);
// type is PK_PUBLIC or PK_PRIVATE.
void rsaExportKeyFile(rsa_key* key, int type, const char* path);
// A new 1024-bit key with public exponent 65537.
void rsaMakeKey(rsa_key* key);

// *outLength holds the capacity of out on entry and the signature's length
// on return (128 bytes for a 1024-bit key).
void rsaSign(rsa_key* key, const unsigned char* data, unsigned long length, unsigned char* out,
    unsigned long* outLength);
// False for a well-formed signature that does not match; a malformed one
// (wrong length, bad encoding) throws.
bool rsaVerify(rsa_key* key, const unsigned char* data, unsigned long length,
    const unsigned char* signature, unsigned long signatureLength);

// Reads a whole file into *buffer (null or a block from malloc, grown with
// realloc; the caller frees it with free()).
void readBinaryFile(const char* path, unsigned char** buffer, unsigned long* length);
void writeBinaryFile(const char* path, const unsigned char* data, unsigned long length);

#endif
