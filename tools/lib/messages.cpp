#include "messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "names.h"

void report(const std::string &name, const std::string &what, const char *reason) {
    std::string line = "qortool: " + escaped_name(name);
    if (!what.empty())
        line += ": " + what;
    if (reason)
        line.append(": ").append(reason);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void report_message(const char *format, ...) {
    std::fputs("qortool: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void report_write_error() { report_message("write error: %s", std::strerror(errno ? errno : EIO)); }
