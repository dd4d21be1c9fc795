// Lines for whoever reads the program's standard output (a console, or a
// file it was redirected to).
#pragma once

// printf-style, formatted by the C runtime's own formatter: "%S" takes a
// wide string.
void PrintOutput(const char* format, ...);
