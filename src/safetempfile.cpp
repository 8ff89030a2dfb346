#include "safetempfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Owned by the running user and not writable by anyone else.
bool isPrivate(const struct stat& st)
{
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

int SafeTempFile::openPrivateDirectory(const QString& path)
{
    // A final "/" would make the kernel follow a link of that name after all.
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    if (::mkdir(native.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return -1;
    // O_NOFOLLOW refuses a link planted in place of the directory; the checks
    // run on what was actually opened, so the name cannot be swapped between
    // the check and the use.
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !isPrivate(st)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int SafeTempFile::openForWriting(int dirFd, const QString& name)
{
    const QByteArray native = QFile::encodeName(name);
    // No O_TRUNC: a file that turns out not to be ours must stay untouched.
    // O_NONBLOCK keeps a planted FIFO from blocking the open.
    const int fd = ::openat(dirFd, native.constData(),
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !isPrivate(st) || st.st_nlink != 1
        || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool SafeTempFile::writeFile(const QString& path, const QByteArray& data)
{
    const int fd = openForWriting(AT_FDCWD, path);
    if (fd < 0)
        return false;
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= n;
    }
    const bool closed = ::close(fd) == 0;
    return left == 0 && closed;
}

bool SafeTempFile::readFile(const QString& path, qint64 maxSize, QByteArray* data)
{
    data->clear();
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !isPrivate(st)) {
        ::close(fd);
        return false;
    }
    // Grow with what actually arrives, never with the size the file claims.
    char buffer[16384];
    bool ok = true;
    while (data->size() < maxSize) {
        const qint64 want = qMin<qint64>(sizeof buffer, maxSize - data->size());
        const ssize_t n = ::read(fd, buffer, size_t(want));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        data->append(buffer, int(n));
    }
    ::close(fd);
    if (!ok)
        data->clear();
    return ok;
}

void SafeTempFile::removeFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && st.st_uid == ::geteuid())
        ::unlink(native.constData());
}
