#include "Log.h"

#include <cstdarg>

std::atomic<uint32_t> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};

bool Log::IsActive(unsigned package)
{
    return package == 0 || (package & package_bitmask.load(std::memory_order_relaxed)) != 0;
}

uint32_t Log::GetMask()
{
    return package_bitmask.load(std::memory_order_relaxed);
}

void Log::log(unsigned package, const char* format, ...)
{
    if (!IsActive(package))
        return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    FILE* out = fh.load(std::memory_order_acquire);
    if (out != nullptr)
        fwrite(buffer, 1, length, out);
}

void Log::SetOutput(FILE* stream)
{
    fh.store(stream, std::memory_order_release);
}

void Log::ActivatePackage(unsigned bits)
{
    package_bitmask.fetch_or(bits, std::memory_order_relaxed);
}

void Log::DeactivatePackage(unsigned bits)
{
    package_bitmask.fetch_and(~bits, std::memory_order_relaxed);
}
