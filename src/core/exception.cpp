#include "core/exception.h"

#include <cstdarg>
#include <cstdio>

namespace velmo {

VelmoException::VelmoException(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message_, sizeof message_, format, args);
    va_end(args);
    if (n < 0) message_[0] = '\0';
}

VelmoException::~VelmoException() = default;

const char* VelmoException::what() const noexcept { return message_; }

}  // namespace velmo
