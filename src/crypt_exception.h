#ifndef CRYPT_EXCEPTION_H
#define CRYPT_EXCEPTION_H

#include <exception>
#include <string>

// The one way the crypto wrapper reports a failure: the operation's name and
// the library's own explanation in a single text.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    ~crypt_exception() override;

    const char* what() const noexcept override;

private:
    std::string m_Message;
};

#endif
