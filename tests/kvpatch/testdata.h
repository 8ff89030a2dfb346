#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = uint8_t(rng());
    return out;
}

// Text made of few distinct words: long repeats for match finders.
inline Bytes repetitiveBytes(size_t n, uint32_t seed)
{
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < n) {
        const std::string w = words[rng() % 5];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(n);
    return out;
}

inline Bytes bytesOf(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}
