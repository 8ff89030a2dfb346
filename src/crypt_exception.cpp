#include "crypt_exception.h"

#include <utility>

crypt_exception::crypt_exception(std::string message)
    : m_Message(std::move(message))
{
}

crypt_exception::~crypt_exception() = default;

const char* crypt_exception::what() const noexcept
{
    return m_Message.c_str();
}
