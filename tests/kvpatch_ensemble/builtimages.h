// Executables built by a script of the source tree into a temporary
// directory, once per test run.
#pragma once

#include "testsupport.h"

#include <map>
#include <string>

class BuiltImages
{
public:
    // The release pairs of releases/build_releases.sh (NAME.1 and NAME.2).
    static const BuiltImages& releases();
    // The disassemblers' corpus of single images.
    static const BuiltImages& corpus();

    explicit BuiltImages(const std::string& scriptFromSourceRoot);
    ~BuiltImages();
    BuiltImages(const BuiltImages&) = delete;
    BuiltImages& operator=(const BuiltImages&) = delete;

    // The image's bytes; empty when the toolchain could not build it.
    Bytes load(const std::string& name) const;

private:
    std::string m_directory;
};

// GTEST_SKIP()s the current test when the image is missing.
#define LOAD_IMAGE_OR_SKIP(var, images, name)                                                      \
    const Bytes var = (images).load(name);                                                         \
    if (var.empty())                                                                               \
    GTEST_SKIP() << "toolchain could not build " << (name)
