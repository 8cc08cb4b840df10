#include "commands.h"

int main(int argc, char **argv) { return qortool_main(argc, argv); }
