// Release-signing helper: makes key pairs, signs product inis and checks
// signatures with the same wrapper that the updater verifies with.
#include "cryptwrapper.h"
#include "rsakeyrelease.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter
{
    void operator()(unsigned char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

Buffer readWholeFile(const std::string& path, unsigned long* length)
{
    unsigned char* raw = nullptr;
    try {
        readBinaryFile(path.c_str(), &raw, length);
    } catch (...) {
        std::free(raw);
        throw;
    }
    return Buffer(raw);
}

int makeKeyPair(const char* privatePath, const char* publicPath)
{
    rsa_key key;
    rsaMakeKey(&key);
    RsaKeyRelease release(&key);
    rsaExportKeyFile(&key, PK_PRIVATE, privatePath);
    rsaExportKeyFile(&key, PK_PUBLIC, publicPath);
    return 0;
}

int sign(const char* privatePath, const std::string& path)
{
    unsigned long length = 0;
    Buffer data = readWholeFile(path, &length);
    rsa_key key;
    rsaImportKeyFile(&key, privatePath);
    RsaKeyRelease release(&key);
    unsigned char signature[512];
    unsigned long signatureLength = sizeof signature;
    rsaSign(&key, data.get(), length, signature, &signatureLength);
    writeBinaryFile((path + ".sig").c_str(), signature, signatureLength);
    return 0;
}

int verify(const char* publicPath, const std::string& path)
{
    unsigned long length = 0;
    unsigned long signatureLength = 0;
    Buffer data = readWholeFile(path, &length);
    Buffer signature = readWholeFile(path + ".sig", &signatureLength);
    rsa_key key;
    rsaImportKeyFile(&key, publicPath);
    RsaKeyRelease release(&key);
    const bool valid = rsaVerify(&key, data.get(), length, signature.get(), signatureLength);
    std::printf("%s\n", valid ? "valid" : "INVALID");
    return valid ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr,
        "usage: kv_release_sign genkey PRIVATE_KEY PUBLIC_KEY\n"
        "       kv_release_sign sign PRIVATE_KEY FILE     (writes FILE.sig)\n"
        "       kv_release_sign verify PUBLIC_KEY FILE    (reads FILE.sig)\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return usage();
    try {
        cryptInit();
        if (std::strcmp(argv[1], "genkey") == 0)
            return makeKeyPair(argv[2], argv[3]);
        if (std::strcmp(argv[1], "sign") == 0)
            return sign(argv[2], argv[3]);
        if (std::strcmp(argv[1], "verify") == 0)
            return verify(argv[2], argv[3]);
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "kv_release_sign: %s\n", e.what());
        return 1;
    }
    return usage();
}
