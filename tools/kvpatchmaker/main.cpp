// Command-line front end of the patch maker:
//   kvpatchmaker [--plain] OLD NEW PATCH     write an ensemble patch
//   kvpatchmaker --pack [--plain] IN OUT     write a compressed-file container
// --plain makes a patch without executable elements, or a container of one
// LZMA2 block; --elements keeps the elements even where a patch without them
// would be smaller.
// Exit status: 0 written, 1 an input could not be read or the output could
// not be made or written (nothing existing changed), 2 wrong usage.
#include "compressedfile.h"
#include "ensemblepatchmaker.h"
#include "inputfile.h"
#include "stderrlog.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Usage(const char* problem = nullptr, const char* what = nullptr)
{
    if (problem)
        std::fprintf(stderr, "kvpatchmaker: %s%s\n", problem, what ? what : "");
    std::fprintf(stderr,
        "usage: kvpatchmaker [--plain | --elements] OLD NEW PATCH\n"
        "       kvpatchmaker --pack [--plain] INPUT OUTPUT\n");
    return kUsage;
}

int Failed(const std::string& message)
{
    std::fprintf(stderr, "kvpatchmaker: %s\n", message.c_str());
    return kFailed;
}

int Pack(const std::string& inputPath, const std::string& outputPath, bool plain)
{
    InputFile input("INPUT", inputPath);
    if (!input.open())
        return Failed(input.error());
    if (input.isSameFileAs(outputPath))
        return Usage("OUTPUT is the same file as INPUT: ", outputPath.c_str());
    if (!kvpatch::CompressFile(inputPath, outputPath, plain ? 0 : 1))
        return Failed("could not pack '" + inputPath + "' into '" + outputPath + "'");
    return 0;
}

int MakePatch(const std::vector<std::string>& paths, bool plain, bool keepElements)
{
    kvpatchmaker::PatchOptions options;
    options.findElements = !plain;
    options.preferSmaller = !keepElements;
    kvpatchmaker::PatchSummary summary;
    std::string error;
    if (!kvpatchmaker::MakeEnsemblePatchFile(
            paths[0], paths[1], paths[2], options, &summary, &error))
        return Failed(error);
    std::printf("%s: %u executable element(s)\n", paths[2].c_str(), summary.elements);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    StderrLog log;
    bool pack = false;
    bool plain = false;
    bool keepElements = false;
    bool optionsEnded = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        // Anything else that looks like an option is a mistake, never a
        // path: "--elemnts" must not become the name of the patch.
        if (optionsEnded || argument[0] != '-' || argument[1] == '\0')
            paths.push_back(argument);
        else if (std::strcmp(argument, "--") == 0)
            optionsEnded = true;
        else if (std::strcmp(argument, "--pack") == 0)
            pack = true;
        else if (std::strcmp(argument, "--plain") == 0)
            plain = true;
        else if (std::strcmp(argument, "--elements") == 0)
            keepElements = true;
        else
            return Usage("unknown option ", argument);
    }
    if (pack && paths.size() == 2)
        return Pack(paths[0], paths[1], plain);
    if (!pack && paths.size() == 3)
        return MakePatch(paths, plain, keepElements);
    return Usage();
}
