// One input of the maker, checked before anything is written: it must be a
// regular file that the engine's 32-bit sizes can describe.
#pragma once

#include "mappedfile.h"

#include <string>

class InputFile
{
public:
    // `role` names the argument in messages ("OLD", "NEW", "INPUT").
    InputFile(const std::string& role, const std::string& path);

    // False with error() set when the file cannot be read whole.
    bool open();
    const std::string& error() const { return m_error; }

    const uint8_t* data() const { return m_view.data(); }
    size_t size() const { return m_view.mappedSize(); }
    bool empty() const { return size() == 0; }
    // Same file (device and inode) as `path`, which need not exist.
    bool isSameFileAs(const std::string& path) const;

private:
    bool fail(const std::string& why);

    std::string m_role;
    std::string m_path;
    std::string m_error;
    kvpatch::MappedFile m_view;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
};
