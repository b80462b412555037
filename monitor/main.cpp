// webmon's entry point: the platform's start-up code around the runtime and the program.
#include "monitor/program.h"

int main() { rt::RunProgram(monitor::kProgramHeader, monitor::ProgramEntry); }
