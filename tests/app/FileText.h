// Reads back everything written to a temporary file.
#pragma once

#include <cstdio>
#include <string>

inline std::string readFileText(FILE* file)
{
    fflush(file);
    rewind(file);
    std::string out;
    char buffer[1024];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        out.append(buffer, n);
    return out;
}
