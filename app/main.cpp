#include "app/front_end.h"

int main(int argc, char** argv) { return RunCommandLine(argc, argv); }
