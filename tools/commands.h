// The qortool commands, each given the arguments after its name; each
// returns the exit status. Each is in a file of its own in commands/; the
// table in qortool.cpp lists them.
#pragma once

#include <string>
#include <vector>

int cmd_verify(const std::vector<std::string> &args);
int cmd_audit(const std::vector<std::string> &args);
int cmd_issue(const std::vector<std::string> &args);
int cmd_stamp(const std::vector<std::string> &args);
int cmd_keygen(const std::vector<std::string> &args);
int cmd_keyid(const std::vector<std::string> &args);

// Each command's --help, and the key file's format, for the full help.
extern const char verify_help[], audit_help[], issue_help[], stamp_help[], keygen_help[],
    keyid_help[], key_file_help[];

// The whole of qortool: the command named by the first argument. Its main,
// and a test program's.
int qortool_main(int argc, char **argv);
