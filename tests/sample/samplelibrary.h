#ifndef SAMPLELIBRARY_H
#define SAMPLELIBRARY_H

// The sample client's shared library: a release number and a greeting.
extern "C" {
int kvsample_library_release();
const char* kvsample_greeting();
}

#endif
