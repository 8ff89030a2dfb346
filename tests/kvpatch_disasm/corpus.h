#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Executables built from the C and assembly sources in corpus/ with the
// machine's cross toolchains, once per test run.
class Corpus
{
public:
    // Builds the corpus on first use into a temporary directory.
    static const Corpus& instance();

    // The image's bytes, or empty when it could not be built (the reason is
    // in skipReason()).
    std::vector<uint8_t> load(const std::string& name) const;
    std::string skipReason(const std::string& name) const;

private:
    Corpus();
    ~Corpus();
    std::string m_directory;
};

std::vector<uint8_t> ReadWholeFile(const std::string& path);

// GTEST_SKIP()s the current test when the corpus image NAME is missing.
#define LOAD_CORPUS_OR_SKIP(var, name)                                                             \
    const std::vector<uint8_t> var = Corpus::instance().load(name);                                \
    if (var.empty())                                                                               \
    GTEST_SKIP() << Corpus::instance().skipReason(name)
