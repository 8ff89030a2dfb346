#include "builtimages.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

const BuiltImages& BuiltImages::releases()
{
    static const BuiltImages images("tests/kvpatch_ensemble/releases/build_releases.sh");
    return images;
}

const BuiltImages& BuiltImages::corpus()
{
    static const BuiltImages images("tests/kvpatch_disasm/corpus/build_corpus.sh");
    return images;
}

BuiltImages::BuiltImages(const std::string& scriptFromSourceRoot)
{
    char pattern[] = "/tmp/kvpatch_images_XXXXXX";
    if (!mkdtemp(pattern))
        return;
    m_directory = pattern;
    const char* sourceDir = std::getenv("KV_SOURCE_DIR");
    const std::string root = sourceDir ? sourceDir : KV_FALLBACK_SOURCE_DIR;
    const std::string command
        = "bash '" + root + "/" + scriptFromSourceRoot + "' '" + m_directory + "'";
    // Missing images make their tests skip; the script names them on stderr.
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "%s: some images could not be built\n", scriptFromSourceRoot.c_str());
}

BuiltImages::~BuiltImages()
{
    std::error_code ignored;
    if (!m_directory.empty())
        std::filesystem::remove_all(m_directory, ignored);
}

Bytes BuiltImages::load(const std::string& name) const
{
    if (m_directory.empty())
        return {};
    return ReadFile(m_directory + "/" + name);
}
