#include "releasesigning.h"

#include "cryptwrapper.h"
#include "rsakeyrelease.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string systemError()
{
    return std::strerror(errno);
}

bool readFile(const std::string& path, std::vector<unsigned char>* data, std::string* error)
{
    data->clear();
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + systemError();
        return false;
    }
    unsigned char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data->insert(data->end(), buffer, buffer + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + path + ": " + systemError();
        return false;
    }
    return true;
}

// A new file beside path, named path + ".XXXXXX"; its name in *tempPath.
bool writeBeside(const std::string& path, const unsigned char* data, size_t length,
    bool privateFile, std::string* tempPath, std::string* error)
{
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    // mkstemp creates the file 0600, so a private key is never readable by
    // others, not even for a moment.
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = "cannot write " + path + ": " + systemError();
        return false;
    }
    *tempPath = name.data();
    bool ok = true;
    size_t done = 0;
    while (ok && done < length) {
        const ssize_t wrote = write(fd, data + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        ok = wrote > 0;
        if (ok)
            done += size_t(wrote);
    }
    if (ok && !privateFile) {
        const mode_t mask = umask(0);
        umask(mask);
        ok = fchmod(fd, 0666 & ~mask) == 0;
    }
    ok = ok && fsync(fd) == 0;
    const int savedErrno = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(savedErrno ? savedErrno : errno);
        unlink(tempPath->c_str());
        return false;
    }
    return true;
}

bool renameInto(const std::string& tempPath, const std::string& path, std::string* error)
{
    if (std::rename(tempPath.c_str(), path.c_str()) == 0)
        return true;
    *error = "cannot write " + path + ": " + systemError();
    unlink(tempPath.c_str());
    return false;
}

bool exportKey(rsa_key* key, int type, std::vector<unsigned char>* file, std::string* error)
{
    // A key file is the DER export filled up with zeros to a fixed size.
    file->assign(cryptKeyFileSize, 0);
    unsigned long length = cryptKeyFileSize;
    const int status = rsa_export(file->data(), &length, type, key);
    if (status != CRYPT_OK) {
        *error = std::string("cannot export the new key: ") + error_to_string(status);
        return false;
    }
    return true;
}

// Signs data with a loaded private key into signaturePath.
bool signReleaseData(rsa_key* key, const unsigned char* data, size_t length,
    const std::string& signaturePath, std::string* error)
{
    unsigned char signature[512];
    unsigned long signatureLength = sizeof signature;
    try {
        rsaSign(key, data, (unsigned long)length, signature, &signatureLength);
    } catch (const crypt_exception& e) {
        *error = std::string("cannot sign: ") + e.what();
        return false;
    }
    return writeFileReplacing(signaturePath, signature, signatureLength, false, error);
}

} // namespace

bool loadReleaseKey(const std::string& path, int type, rsa_key* key, std::string* error)
{
    std::vector<unsigned char> data;
    if (!readFile(path, &data, error))
        return false;
    if (data.empty()) {
        *error = path + " is empty: it is not a key file";
        return false;
    }
    // Key files are padded to a fixed size; anything longer is not one.
    if (data.size() > cryptKeyFileSize) {
        *error = path + " is not a key file (" + std::to_string(data.size())
            + " bytes; key files have at most " + std::to_string(cryptKeyFileSize) + ")";
        return false;
    }
    try {
        rsaImportKey(key, data.data(), (unsigned long)data.size());
    } catch (const crypt_exception&) {
        *error = path + " is not a key file: it is damaged or in another format";
        return false;
    }
    if (type == PK_PRIVATE && key->type != PK_PRIVATE) {
        rsa_free(key);
        *error = path + " holds a public key; signing needs the private key";
        return false;
    }
    return true;
}

bool makeReleaseKeyPair(
    const std::string& privatePath, const std::string& publicPath, std::string* error)
{
    if (privatePath == publicPath) {
        *error = "the private and the public key need two different files";
        return false;
    }
    rsa_key key;
    try {
        rsaMakeKey(&key);
    } catch (const crypt_exception& e) {
        *error = std::string("cannot make a key: ") + e.what();
        return false;
    }
    RsaKeyRelease release(&key);
    std::vector<unsigned char> privateFile;
    std::vector<unsigned char> publicFile;
    if (!exportKey(&key, PK_PRIVATE, &privateFile, error)
        || !exportKey(&key, PK_PUBLIC, &publicFile, error))
        return false;
    std::string privateTemp;
    std::string publicTemp;
    if (!writeBeside(
            privatePath, privateFile.data(), privateFile.size(), true, &privateTemp, error))
        return false;
    if (!writeBeside(publicPath, publicFile.data(), publicFile.size(), false, &publicTemp, error)) {
        unlink(privateTemp.c_str());
        return false;
    }
    if (!renameInto(privateTemp, privatePath, error)) {
        unlink(publicTemp.c_str());
        return false;
    }
    return renameInto(publicTemp, publicPath, error);
}

bool signReleaseFile(const std::string& privatePath, const std::string& path, std::string* error)
{
    rsa_key key;
    if (!loadReleaseKey(privatePath, PK_PRIVATE, &key, error))
        return false;
    RsaKeyRelease release(&key);
    std::vector<unsigned char> data;
    if (!readFile(path, &data, error))
        return false;
    return signReleaseData(&key, data.data(), data.size(), path + ".sig", error);
}

SignatureVerdict verifyReleaseFile(
    const std::string& publicPath, const std::string& path, std::string* error)
{
    rsa_key key;
    if (!loadReleaseKey(publicPath, PK_PUBLIC, &key, error))
        return SignatureVerdict::Error;
    RsaKeyRelease release(&key);
    std::vector<unsigned char> data;
    std::vector<unsigned char> signature;
    if (!readFile(path, &data, error) || !readFile(path + ".sig", &signature, error))
        return SignatureVerdict::Error;
    const unsigned long expectedLength = ltc_mp.unsigned_size(key.N);
    if (signature.size() != expectedLength) {
        *error = path + ".sig is damaged: it has " + std::to_string(signature.size())
            + " bytes where this key's signatures have " + std::to_string(expectedLength);
        return SignatureVerdict::Invalid;
    }
    try {
        if (rsaVerify(&key, data.data(), (unsigned long)data.size(), signature.data(),
                (unsigned long)signature.size()))
            return SignatureVerdict::Valid;
    } catch (const crypt_exception&) {
        // A signature by another key decodes to garbage: no match either.
    }
    *error = path + ".sig does not match " + path
        + " with this key (the file changed, or another key signed it)";
    return SignatureVerdict::Invalid;
}

bool writeFileReplacing(const std::string& path, const unsigned char* data, size_t length,
    bool privateFile, std::string* error)
{
    std::string tempPath;
    return writeBeside(path, data, length, privateFile, &tempPath, error)
        && renameInto(tempPath, path, error);
}
