// Writes a finished result so that a reader never sees half of it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kvpatch {

// Writes the bytes to a new file beside `path` and renames it over `path`.
// On any failure the temporary file is removed and whatever stood at `path`
// before stays as it was, so a failed or short write never leaves a partial
// result under the final name.
bool WriteFileReplacing(const std::string& path, const void* data, size_t length);

// The same for a result that is produced in pieces: nothing stands under
// `path` until Commit, and an object destroyed without a successful Commit
// leaves no temporary file behind. A failure is sticky: later writes and
// Commit fail.
class ReplacingFileWriter
{
public:
    explicit ReplacingFileWriter(std::string path);
    ~ReplacingFileWriter();
    ReplacingFileWriter(const ReplacingFileWriter&) = delete;
    ReplacingFileWriter& operator=(const ReplacingFileWriter&) = delete;

    bool Write(const void* data, size_t length);
    // Closes the file and renames it over the path.
    bool Commit();

private:
    bool open();
    void discard();

    std::string m_path;
    std::string m_temporaryPath;
    FILE* m_file = nullptr;
    bool m_failed = false;
};

} // namespace kvpatch
