#include "system/console_output.h"

#include <cstdarg>
#include <cstdio>

namespace {
// A path of 260 units and its message fit with room to spare.
const int kLineBytes = 1024;
}

void PrintOutput(const char* format, ...)
{
    char line[kLineBytes];
    va_list args;
    va_start(args, format);
    int written = _vsnprintf(line, kLineBytes - 1, format, args);
    va_end(args);
    // A line that does not fit is written cut rather than not at all.
    line[(written < 0 || written >= kLineBytes - 1) ? kLineBytes - 1 : written] = '\0';
    fputs(line, stdout);
}
