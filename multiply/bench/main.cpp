// korvane_multiply_bench: the benchmark entry of the float32 program.
#include "common/process_exit.h"
#include "multiply/bench/bench.h"

// A failed run ends as soon as its failure line is out (see end_process).
int main(int argc, char** argv) { return main_status(bench_main(argc, argv)); }
