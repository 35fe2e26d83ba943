#include <signal.h>

#include "common/process_exit.h"
#include "modp/program.h"

// A run that did not succeed ends as soon as its last line is out (see
// end_process). SIGPIPE is ignored: a C whose reader has gone fails as a
// write, and a standard output whose reader has gone loses the progress
// lines but not the run.
int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    return main_status(torvik::modp_main(argc, argv));
}
