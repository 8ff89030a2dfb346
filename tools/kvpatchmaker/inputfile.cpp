#include "inputfile.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

InputFile::InputFile(const std::string& role, const std::string& path)
    : m_role(role)
    , m_path(path)
{
}

bool InputFile::fail(const std::string& why)
{
    m_error = m_role + " '" + m_path + "' " + why;
    return false;
}

bool InputFile::open()
{
    struct stat64 status;
    if (stat64(m_path.c_str(), &status) != 0)
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        return fail("is not a regular file");
    m_device = status.st_dev;
    m_inode = status.st_ino;
    if (status.st_size == 0)
        return true; // nothing to map; data() is null and size() 0
    m_view.open(m_path);
    if (m_view.tooLarge())
        return fail("is 4 GiB or more; the formats hold sizes below 4 GiB");
    if (!m_view.isValid())
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    return true;
}

bool InputFile::isSameFileAs(const std::string& path) const
{
    struct stat64 status;
    return stat64(path.c_str(), &status) == 0 && status.st_dev == m_device
        && status.st_ino == m_inode;
}
