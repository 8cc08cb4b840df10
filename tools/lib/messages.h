// The one error reporter of qortool: every message it prints on standard
// error goes through these. May include names.h.
#pragma once

#include <string>

// Reports a failure on standard error, as every command does:
// "qortool: NAME: WHAT", and ": REASON" after it when one is given. NAME is
// escaped as every name the tool prints.
void report(const std::string &name, const std::string &what, const char *reason = nullptr);

// Reports a message of the tool's own on standard error, "qortool: " and
// the message as printf formats it. Every message of the tool goes through
// report or this.
[[gnu::format(printf, 1, 2)]] void report_message(const char *format, ...);

// Reports that standard output could not be written, in the one spelling
// the tool has for it, as coreutils has it: "qortool: write error: CAUSE".
void report_write_error();
