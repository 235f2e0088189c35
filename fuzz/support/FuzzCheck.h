#pragma once

// Ends the run as a crash when a property a fuzz target checks does not hold:
// libFuzzer keeps the input that did it as the crash artifact, and the message
// says which property broke.
[[noreturn]] void fuzzFailure(const char* property, const char* file, int line);

#define FUZZ_CHECK(condition)                            \
    do {                                                 \
        if (!(condition)) {                              \
            fuzzFailure(#condition, __FILE__, __LINE__); \
        }                                                \
    } while (false)
