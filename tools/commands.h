// The qortool commands, each given the arguments after its name; each
// returns the exit status.
#pragma once

#include <string>
#include <vector>

#include "verify.h"

int cmd_verify(const std::vector<std::string> &args);
extern const char verify_help[];

int cmd_audit(const std::vector<std::string> &args);
extern const char audit_help[];

// Reads the key file that an argument names; reports a fault and returns
// false.
bool load_key_file(const std::string &argument, KeyMaterial &key);

// The whole of qortool: the command named by the first argument. Its main,
// and a test program's.
int qortool_main(int argc, char **argv);
