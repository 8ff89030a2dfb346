#ifndef RSAKEYRELEASE_H
#define RSAKEYRELEASE_H

#include <tomcrypt.h>

// Frees a filled RSA key record when the scope ends, also when a crypto call
// in between throws. Create it only after the key was filled successfully: a
// failed import or generation leaves nothing to free.
class RsaKeyRelease
{
public:
    explicit RsaKeyRelease(rsa_key* key)
        : m_Key(key)
    {
    }
    ~RsaKeyRelease() { rsa_free(m_Key); }
    RsaKeyRelease(const RsaKeyRelease&) = delete;
    RsaKeyRelease& operator=(const RsaKeyRelease&) = delete;

private:
    rsa_key* m_Key;
};

#endif
