// Release-signing helper: makes key pairs, signs product inis and checks
// signatures with the same wrapper that the updater verifies with.
#include "cryptwrapper.h"
#include "releasesigning.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
        "usage: kv_release_sign genkey PRIVATE_KEY PUBLIC_KEY\n"
        "       kv_release_sign sign PRIVATE_KEY FILE     (writes FILE.sig)\n"
        "       kv_release_sign verify PUBLIC_KEY FILE    (reads FILE.sig)\n");
    return 2;
}

int fail(const std::string& error)
{
    std::fprintf(stderr, "kv_release_sign: %s\n", error.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return usage();
    try {
        cryptInit();
    } catch (const crypt_exception& e) {
        return fail(std::string("cannot set up the cryptography: ") + e.what());
    }
    std::string error;
    if (std::strcmp(argv[1], "genkey") == 0)
        return makeReleaseKeyPair(argv[2], argv[3], &error) ? 0 : fail(error);
    if (std::strcmp(argv[1], "sign") == 0)
        return signReleaseFile(argv[2], argv[3], &error) ? 0 : fail(error);
    if (std::strcmp(argv[1], "verify") == 0) {
        switch (verifyReleaseFile(argv[2], argv[3], &error)) {
        case SignatureVerdict::Valid:
            std::printf("valid\n");
            return 0;
        case SignatureVerdict::Invalid:
            std::printf("INVALID: %s\n", error.c_str());
            return 1;
        case SignatureVerdict::Error:
            return fail(error);
        }
    }
    return usage();
}
