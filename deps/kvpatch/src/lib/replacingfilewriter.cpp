#include "replacingfilewriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <utility>

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

ReplacingFileWriter::ReplacingFileWriter(std::string path)
    : m_path(std::move(path))
{
}

ReplacingFileWriter::~ReplacingFileWriter()
{
    discard();
}

bool ReplacingFileWriter::open()
{
    // Created with the first bytes (or at Commit): a result that fails
    // before then never touches the directory.
    if (!m_file && !m_failed) {
        m_file = CreateTemporaryBeside(m_path, &m_temporaryPath);
        m_failed = !m_file;
    }
    return !m_failed;
}

void ReplacingFileWriter::discard()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
        std::remove(m_temporaryPath.c_str());
    }
}

bool ReplacingFileWriter::Write(const void* data, size_t length)
{
    if (length == 0)
        return !m_failed;
    if (!open() || std::fwrite(data, 1, length, m_file) != length) {
        m_failed = true;
        discard();
    }
    return !m_failed;
}

bool ReplacingFileWriter::Commit()
{
    if (!open())
        return false;
    // Data still buffered when fclose fails never reached the file.
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    m_failed = true;
    if (!closed || std::rename(m_temporaryPath.c_str(), m_path.c_str()) != 0) {
        std::remove(m_temporaryPath.c_str());
        return false;
    }
    return true;
}

bool WriteFileReplacing(const std::string& path, const void* data, size_t length)
{
    ReplacingFileWriter writer(path);
    return writer.Write(data, length) && writer.Commit();
}

} // namespace kvpatch
