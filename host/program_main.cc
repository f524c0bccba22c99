// The launcher executable of one program; the program's QZ_PROGRAM defines
// program_main.
#include "host/module.h"

int main(int argc, char** argv) { return qz::host::program_main(argc, argv); }
