// A broken promise found by a fuzz harness: the line it concerns is shown
// and the run aborts, so libFuzzer saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fail(const char *what, const std::string &line)
{
    fprintf(stderr, "violated: %s\nline (%zu bytes): [%s]\n", what, line.size(), line.c_str());
    abort();
}

#define CHECK(cond, line)                                                                         \
    do {                                                                                          \
        if (!(cond))                                                                              \
            fail(#cond, line);                                                                    \
    } while (0)
