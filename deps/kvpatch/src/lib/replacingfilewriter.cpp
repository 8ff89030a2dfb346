#include "replacingfilewriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace kvpatch {

namespace {

// Several patch applications may run at once in one process, each
// writing beside its own target; the counter keeps their names apart.
std::atomic<unsigned> g_temporaryCounter {0};

// Creates a file that did not exist before (mode "x"), so that a stale
// file or a link of that name is never written through.
FILE* CreateTemporaryBeside(const std::string& path, std::string* temporaryPath)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporaryPath = path + ".kvtmp." + std::to_string(getpid()) + "."
            + std::to_string(g_temporaryCounter.fetch_add(1));
        FILE* file = std::fopen(temporaryPath->c_str(), "wbx");
        if (file || errno != EEXIST)
            return file;
    }
    return nullptr;
}

} // namespace

bool WriteFileReplacing(const std::string& path, const void* data, size_t length)
{
    std::string temporaryPath;
    FILE* file = CreateTemporaryBeside(path, &temporaryPath);
    if (!file)
        return false;
    const size_t written = length ? std::fwrite(data, 1, length, file) : 0;
    // Data still buffered when fclose fails never reached the file.
    const bool closed = std::fclose(file) == 0;
    if (written != length || !closed || std::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        std::remove(temporaryPath.c_str());
        return false;
    }
    return true;
}

} // namespace kvpatch
