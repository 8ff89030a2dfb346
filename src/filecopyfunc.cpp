#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kCopyBlock = 1 << 20;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd)
        : m_Fd(fd)
    {
    }
    ~FileDescriptor()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    int get() const { return m_Fd; }
    // Closing reports errors that a write may have deferred (network or
    // full file systems), so the result counts.
    bool close()
    {
        const int fd = m_Fd;
        m_Fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_Fd;
};

bool writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= size_t(written);
    }
    return true;
}

// Copies in the kernel where the file systems allow it, else through one
// fixed buffer; memory does not grow with the file.
bool copyContent(int in, int out)
{
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    for (;;) {
        if (kernelCopy) {
            const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, kCopyBlock, 0);
            if (copied == 0)
                return true;
            if (copied > 0)
                continue;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            kernelCopy = false;
        }
        if (!buffer)
            buffer.reset(new char[kCopyBlock]);
        const ssize_t got = ::read(in, buffer.get(), kCopyBlock);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!writeAll(out, buffer.get(), size_t(got)))
            return false;
    }
}

} // namespace

FileCopyFunc::FileCopyFunc(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    return copyFile(m_Source, m_Destination);
}

bool FileCopyFunc::copyFile(const QString& source, const QString& destination)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    FileDescriptor in(::open(from.constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return false;
    struct stat info;
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    // A link at the destination, dangling or not, is removed, not followed.
    if (::unlink(to.constData()) != 0 && errno != ENOENT)
        return false;
    // O_EXCL: a link planted between the removal and the creation is not
    // followed.
    FileDescriptor out(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0)
        return false;
    if (!copyContent(in.get(), out.get()) || !out.close()) {
        ::unlink(to.constData());
        return false;
    }
    return true;
}
