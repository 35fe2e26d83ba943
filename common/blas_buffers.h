// OpenBLAS's work buffers, made before the large allocations of a run.
//
// OpenBLAS (the Debian pthread build) takes a 128 MiB buffer from a
// process-wide table for every GEMM call and hands it back afterwards; the
// table grows when more calls run at once than it holds buffers. Growing
// maps a new buffer, and OpenBLAS retries a failed mapping for ever, so a
// worker that first needs one when memory is short spins without a word.
// Reserving one buffer per concurrent caller while memory is still free
// moves that failure to a point where the program can report it.
//
// OpenBLAS also starts threads of its own when it loads, and each takes a
// buffer from the same table when it begins running and keeps it. One that
// begins late (a busy machine) would take a buffer reserved for a caller, so
// the reservation first ends those threads: OpenBLAS joins them, which waits
// for the late ones, and each hands its buffer back as it ends. The programs
// run OpenBLAS with one thread, which never uses them.
#pragma once

// Makes sure that `callers` GEMM calls can run at once without OpenBLAS
// mapping a new buffer, and ends OpenBLAS's own threads. Returns false,
// having made no buffer, when the address space cannot take the buffers;
// true when they exist (or when the OpenBLAS in use has no such table).
// Call it on one thread while no other thread is inside OpenBLAS, after
// openblas_set_num_threads(1), and do not set OpenBLAS's thread count again
// afterwards: that starts its threads again.
bool reserve_blas_buffers(int callers);
