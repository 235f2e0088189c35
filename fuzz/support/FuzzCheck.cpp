#include "fuzz/support/FuzzCheck.h"

#include <cstdio>
#include <cstdlib>

void fuzzFailure(const char* property, const char* file, int line) {
    std::fprintf(stderr, "==fuzz check failed== %s:%d: %s\n", file, line, property);
    std::fflush(stderr);
    std::abort();
}
