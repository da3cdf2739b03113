// Usage text of the command line.
#pragma once

#include <cstdio>

// Short synopsis always; with `full` the parameters, commands and samples;
// with `full` and `extended` also the extended options and log topics.
void _display_usage(FILE* out, bool extended, bool full);
// Same, on the standard error stream.
void _display_usage(bool extended, bool full);
