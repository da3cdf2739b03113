#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
        return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        buffer[0] = '\0';
    if (level == MSG_ERROR)
        error_message(buffer);
    else
        info_message(buffer);
}
