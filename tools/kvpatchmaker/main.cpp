// Command-line front end of the patch maker:
//   kvpatchmaker [--plain] OLD NEW PATCH     write an ensemble patch
//   kvpatchmaker --pack [--plain] IN OUT     write a compressed-file container
// --plain makes a patch without executable elements, or a container of one
// LZMA2 block; --elements keeps the elements even where a patch without them
// would be smaller.
#include "compressedfile.h"
#include "ensemblepatchmaker.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    bool pack = false;
    bool plain = false;
    bool keepElements = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pack") == 0)
            pack = true;
        else if (std::strcmp(argv[i], "--plain") == 0)
            plain = true;
        else if (std::strcmp(argv[i], "--elements") == 0)
            keepElements = true;
        else
            paths.push_back(argv[i]);
    }
    if (pack && paths.size() == 2) {
        if (kvpatch::CompressFile(paths[0], paths[1], plain ? 0 : 1))
            return 0;
        std::fprintf(stderr, "kvpatchmaker: could not pack %s\n", paths[0].c_str());
        return 1;
    }
    if (!pack && paths.size() == 3) {
        kvpatchmaker::PatchOptions options;
        options.findElements = !plain;
        options.preferSmaller = !keepElements;
        kvpatchmaker::PatchSummary summary;
        if (kvpatchmaker::MakeEnsemblePatchFile(paths[0], paths[1], paths[2], options, &summary)) {
            std::printf("%s: %u executable element(s)\n", paths[2].c_str(), summary.elements);
            return 0;
        }
        std::fprintf(stderr, "kvpatchmaker: could not write %s\n", paths[2].c_str());
        return 1;
    }
    std::fprintf(stderr,
        "usage: kvpatchmaker [--plain | --elements] OLD NEW PATCH\n"
        "       kvpatchmaker --pack [--plain] INPUT OUTPUT\n");
    return 2;
}
