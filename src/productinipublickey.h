#ifndef PRODUCTINIPUBLICKEY_H
#define PRODUCTINIPUBLICKEY_H

#include "cryptwrapper.h"

// The release-signing public key that every product ini must be signed
// with: a key file's content (DER export, then zeros), embedded by the build
// from the file named by the build setting KV_PRODUCT_INI_PUBLIC_KEY.
extern const unsigned char productIniPublicKey[cryptKeyFileSize];

#endif
