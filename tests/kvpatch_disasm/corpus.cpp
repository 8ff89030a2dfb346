#include "corpus.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(
        std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Corpus& Corpus::instance()
{
    static const Corpus corpus;
    return corpus;
}

Corpus::Corpus()
{
    char pattern[] = "/tmp/kvpatch_corpus_XXXXXX";
    const char* directory = mkdtemp(pattern);
    if (directory == nullptr)
        return;
    m_directory = directory;
    const char* sourceDir = std::getenv("KV_SOURCE_DIR");
    const std::string root = sourceDir != nullptr ? sourceDir : KV_FALLBACK_SOURCE_DIR;
    const std::string command
        = "bash '" + root + "/tests/kvpatch_disasm/corpus/build_corpus.sh' '" + m_directory + "'";
    // A failing image is reported per test through skipReason().
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "corpus: some images could not be built\n");
}

Corpus::~Corpus()
{
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

std::vector<uint8_t> Corpus::load(const std::string& name) const
{
    if (m_directory.empty())
        return {};
    return ReadWholeFile(m_directory + "/" + name);
}

std::string Corpus::skipReason(const std::string& name) const
{
    if (m_directory.empty())
        return "no temporary directory for the corpus";
    std::ostringstream text;
    text << "toolchain could not build " << name;
    const std::vector<uint8_t> log = ReadWholeFile(m_directory + "/" + name + ".log");
    if (!log.empty())
        text << ": " << std::string(log.begin(), log.end());
    return text.str();
}
