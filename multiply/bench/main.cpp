// korvane_multiply_bench: the benchmark entry of the float32 program.
#include "multiply/bench/bench.h"

int main(int argc, char** argv) { return bench_main(argc, argv); }
