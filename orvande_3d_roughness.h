// The roughness tool's entry points, for builds that drive a run in-process (the whole-run
// fuzz target). The tool itself is orvande_3d_roughness.cpp; its main calls opening and
// then treatment.
#ifndef ORVANDE_3D_ROUGHNESS_H
#define ORVANDE_3D_ROUGHNESS_H

// Banner, questions, DEM loading, result naming and creation, conversion to metres.
void opening();
// Ratios, centred scaling, stretch question and histogram stretch, writing of the results.
void treatment();

// Every end of the process goes through end_run: it flushes stdout, names on stderr the
// result files that a failed run leaves empty or incomplete, and exits with the status,
// unless end_run_hook is set, in which case the hook is called instead (it must not
// return: a fuzz target jumps back to its own loop).
[[noreturn]] void end_run(int status);
extern void (*end_run_hook)(int status);

// Upper bound, in bytes, on the memory a run may plan to use; 0 means this machine's
// physical memory.
extern unsigned long long memory_budget;

// Gives back every grid, closes every file and sets the whole run state to zero, as at
// process start.
void release_run_state();

#endif
