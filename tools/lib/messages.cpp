#include "messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "names.h"

void report(const std::string &name, const std::string &what, const char *reason) {
    std::string line = escaped_name(name);
    if (!what.empty())
        line += ": " + what;
    if (reason)
        line.append(": ").append(reason);
    report_message("%s", line.c_str());
}

// Formatted whole first and written in one call, so that a line from one
// thread is never cut by another's.
void report_message(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(message.data(), message.size() + 1, format, again);
    va_end(again);
    std::fprintf(stderr, "qortool: %s\n", message.c_str());
}

void report_write_error() { report_message("write error: %s", std::strerror(errno ? errno : EIO)); }
