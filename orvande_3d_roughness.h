// The roughness tool's dialogue, for its main (main.cpp) and for programs that drive a run
// in-process (the whole-run fuzz target).
#ifndef ORVANDE_3D_ROUGHNESS_H
#define ORVANDE_3D_ROUGHNESS_H

// Banner, questions, the scan of the DEM, the names and the check of the results.
void opening();
// The computing passes, the stretch question, the writing of the results.
void treatment();

// What a caller that drives runs in-process lets a run take (0: no limit of its own).
struct RunLimits {
    unsigned long long memory_budget = 0; // bytes a run may plan to use, instead of what this
                                          // machine and its limits allow
    unsigned long long max_pixels = 0;    // larger DEMs are refused as the memory check does
};

// One whole run on the standard streams: opening, then treatment. A failure is told on
// stderr in one line ("orvande_3d_roughness: ...") and its temporary files are removed.
// Returns the exit status: 0 for a finished run, 1 for a failure. The run state is set to
// zero before and after, so runs may follow each other in one process.
int run_dialogue(const RunLimits &limits = RunLimits());

#endif
