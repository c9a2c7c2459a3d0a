#include "tools/reg/reg_command.h"

int main(int argc, char** argv) { return quellvox::RunRegCommand(argc, argv); }
