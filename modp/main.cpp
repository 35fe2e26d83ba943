#include "common/process_exit.h"
#include "modp/program.h"

// A run that did not succeed ends as soon as its last line is out (see
// end_process).
int main(int argc, char** argv) { return main_status(torvik::modp_main(argc, argv)); }
