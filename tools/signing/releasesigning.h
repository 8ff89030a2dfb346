// Key files and signatures of product inis for the release tools, with
// messages in plain words and every output written beside its target and
// renamed into place, so that a failure never leaves a truncated or
// mismatched file where a good one was.
#pragma once

#include <tomcrypt.h>

#include <cstddef>
#include <string>

// Reads a key file; type is PK_PRIVATE (signing) or PK_PUBLIC (checking; a
// private key file also serves). False with *error saying what is wrong.
bool loadReleaseKey(const std::string& path, int type, rsa_key* key, std::string* error);

// Writes a new key pair: both files are written beside their targets first
// and renamed only when both are complete. The private key is created 0600.
bool makeReleaseKeyPair(
    const std::string& privatePath, const std::string& publicPath, std::string* error);

// Signs a file into file + ".sig".
bool signReleaseFile(const std::string& privatePath, const std::string& path, std::string* error);

enum class SignatureVerdict
{
    Valid,
    Invalid, // *error says how
    Error // *error says why no verdict was reached
};
// Checks file against file + ".sig".
SignatureVerdict verifyReleaseFile(
    const std::string& publicPath, const std::string& path, std::string* error);

// Writes data to a new file beside path (readable by the owner only when
// privateFile) and renames it to path. Nothing at path changes on failure.
bool writeFileReplacing(const std::string& path, const unsigned char* data, size_t length,
    bool privateFile, std::string* error);
