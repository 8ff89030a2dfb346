#include "cryptwrapper.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Library table indexes, set by cryptInit() and only read afterwards.
int hashIndex = -1;
int prngIndex = -1;

constexpr int pssSaltLength = 8;
constexpr unsigned long sha1Length = 20;
constexpr int rsaKeyBytes = 128;
constexpr long rsaPublicExponent = 65537;
constexpr unsigned long readChunk = 2048;

// Without a math provider the library would call through null pointers, so
// an RSA call before cryptInit() is refused instead.
void requireMathProvider(const char* operation)
{
    if (ltc_mp.name == nullptr)
        throw crypt_exception(std::string(operation) + ": cryptography not initialised");
}

void sha1(const unsigned char* data, unsigned long length, unsigned char* digest)
{
    hash_state state;
    sha1_init(&state);
    // The library aborts the process on a null input pointer, which empty
    // data may carry.
    if (length > 0)
        cryptCheck("sha1", sha1_process(&state, data, length));
    cryptCheck("sha1", sha1_done(&state, digest));
}

// Closes the file whatever way the function leaves.
class FileCloser
{
public:
    explicit FileCloser(FILE* file)
        : m_File(file)
    {
    }
    ~FileCloser() { std::fclose(m_File); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    FILE* m_File;
};

} // namespace

void cryptInit()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    // Assigning only when needed keeps a repeated initialisation from
    // writing the descriptor while a worker of an earlier session reads it.
    if (ltc_mp.name != ltm_desc.name)
        ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hashIndex = find_hash("sha1");
    prngIndex = find_prng("sprng");
}

void cryptCheck(const char* operation, int status)
{
    if (status == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + ": " + error_to_string(status));
}

void rsaImportKey(rsa_key* key, const unsigned char* der, unsigned long length)
{
    requireMathProvider("rsa_import");
    // The library treats empty input as a broken argument and aborts the
    // process; an empty or missing key file is an import error like any
    // other bad key.
    if (der == nullptr || length == 0)
        cryptCheck("rsa_import", CRYPT_INVALID_ARG);
    cryptCheck("rsa_import", rsa_import(der, length, key));
}

void rsaImportKeyFile(rsa_key* key, const char* path)
{
    unsigned char buffer[cryptKeyFileSize];
    unsigned long length = 0;
    // A file that cannot be opened is left to the import to reject, as an
    // empty key.
    if (FILE* file = std::fopen(path, "rb")) {
        FileCloser closer(file);
        length = std::fread(buffer, 1, sizeof buffer, file);
    }
    rsaImportKey(key, buffer, length);
}

void rsaExportKeyFile(rsa_key* key, int type, const char* path)
{
    unsigned char buffer[cryptKeyFileSize] = {};
    unsigned long length = sizeof buffer;
    requireMathProvider("rsa_export");
    cryptCheck("rsa_export", rsa_export(buffer, &length, type, key));
    writeBinaryFile(path, buffer, sizeof buffer);
}

void rsaMakeKey(rsa_key* key)
{
    requireMathProvider("rsa_make_key");
    prng_state prng;
    cryptCheck("rsa_make_key", rsa_make_key(&prng, prngIndex, rsaKeyBytes, rsaPublicExponent, key));
}

void rsaSign(rsa_key* key, const unsigned char* data, unsigned long length, unsigned char* out,
    unsigned long* outLength)
{
    requireMathProvider("rsa_sign_hash");
    unsigned char digest[sha1Length];
    sha1(data, length, digest);
    prng_state prng;
    cryptCheck("rsa_sign_hash",
        rsa_sign_hash_ex(digest, sizeof digest, out, outLength, LTC_PKCS_1_PSS, &prng, prngIndex,
            hashIndex, pssSaltLength, key));
}

bool rsaVerify(rsa_key* key, const unsigned char* data, unsigned long length,
    const unsigned char* signature, unsigned long signatureLength)
{
    requireMathProvider("rsa_verify_hash");
    unsigned char digest[sha1Length];
    sha1(data, length, digest);
    int valid = 0;
    cryptCheck("rsa_verify_hash",
        rsa_verify_hash_ex(signature, signatureLength, digest, sizeof digest, LTC_PKCS_1_PSS,
            hashIndex, pssSaltLength, &valid, key));
    return valid == 1;
}

void readBinaryFile(const char* path, unsigned char** buffer, unsigned long* length)
{
    *length = 0;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    FileCloser closer(file);
    for (;;) {
        void* grown = std::realloc(*buffer, *length + readChunk);
        if (grown == nullptr)
            throw crypt_exception(std::string("Out of memory reading: ") + path);
        *buffer = static_cast<unsigned char*>(grown);
        *length += std::fread(*buffer + *length, 1, readChunk, file);
        if (std::feof(file))
            break;
        // A read error (a directory, a failing disk) never reaches the end
        // of the file; stop instead of growing the buffer for ever.
        if (std::ferror(file))
            throw crypt_exception(std::string("Cannot read file: ") + path);
    }
}

void writeBinaryFile(const char* path, const unsigned char* data, unsigned long length)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    // A short write or a failed flush on close would leave a truncated key or
    // signature behind that looks like a good one.
    bool written = std::fwrite(data, 1, length, file) == length;
    written = std::fclose(file) == 0 && written;
    if (!written)
        throw crypt_exception(std::string("Cannot write file: ") + path);
}
