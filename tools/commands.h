// The qortool commands, each given the arguments after its name; each
// returns the exit status.
#pragma once

#include <string>
#include <vector>

int cmd_verify(const std::vector<std::string> &args);
