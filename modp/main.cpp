#include "modp/program.h"

int main(int argc, char** argv) { return torvik::modp_main(argc, argv); }
