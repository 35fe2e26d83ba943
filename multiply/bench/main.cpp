// korvane_multiply_bench: the benchmark entry of the float32 program.
#include "common/process_exit.h"
#include "multiply/bench/bench.h"

// A failed run ends as soon as its failure line is out (see end_process).
int main(int argc, char** argv) {
    const int status = bench_main(argc, argv);
    if (status != 0) end_process(status);
    return 0;
}
