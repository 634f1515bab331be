// The engine's one error type; see status.h.
#include "status.h"

#include <cstdarg>
#include <cstdio>

namespace nand {

Status Status::invalid(const char *format, ...)
{
    Status s;
    s.kind_ = Kind::Invalid;
    va_list args;
    va_start(args, format);
    // The analyzer does not see va_start through the Status it returns.
    std::vsnprintf(s.message_, sizeof s.message_, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    return s;
}

Status Status::system(int err, const char *format, ...)
{
    Status s;
    s.kind_ = Kind::System;
    s.err_ = err;
    va_list args;
    va_start(args, format);
    // The analyzer does not see va_start through the Status it returns.
    std::vsnprintf(s.message_, sizeof s.message_, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    return s;
}

}  // namespace nand
