// The memory a run of the tool needs, and the memory it may take on this machine. Nothing
// here prints.
#ifndef MEMORY_LIMITS_H
#define MEMORY_LIMITS_H

// Bytes that a run takes: on each thread a few lines of doubles and a block of results, and
// the program itself; nothing grows with the number of lines.
unsigned long long memory_needed(int lines, int columns, int threads);

struct MemoryLimit {
    unsigned long long bytes;
    const char *what; // which limit it is, for a message: "this machine", ...
};

// The smallest of the physical memory, the address-space limit (less what the process
// already maps, and the stack each of `threads` threads reserves) and the cgroup's memory
// limit (version 1 or 2); `budget`, when not 0, instead.
MemoryLimit memory_available(int threads, unsigned long long budget);

#endif
