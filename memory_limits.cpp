// The memory a run needs and the memory it may take (see memory_limits.h).
#include "memory_limits.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

// Bytes that a run takes: on each thread a few lines of doubles and a block of results, and
// the program itself; nothing grows with the number of lines.
unsigned long long memory_needed(int lines, int columns, int threads)
{
    (void)lines;
    const unsigned long long per_thread = static_cast<unsigned long long>(columns) * 160ULL + (4ULL << 20);
    const unsigned long long fixed = 24ULL << 20;
    return per_thread * static_cast<unsigned long long>(threads) + fixed;
}

// Bytes in a one-number text file (a cgroup setting); 0 when it is missing or says "max".
static unsigned long long number_in_file(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return 0;
    unsigned long long value = 0;
    if (std::fscanf(f, "%llu", &value) != 1) value = 0;
    std::fclose(f);
    return value;
}

// The number after `key` in a "key value" text file (memory.stat), 0 when it is missing.
static unsigned long long keyed_number_in_file(const std::string &path, const char *key)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return 0;
    char name[256];
    unsigned long long value = 0, found = 0;
    while (std::fscanf(f, "%255s %llu", name, &value) == 2)
        if (std::strcmp(name, key) == 0) found = value;
    std::fclose(f);
    return found;
}

// The smaller of two limits, 0 standing for none.
static unsigned long long tighter(unsigned long long a, unsigned long long b)
{
    if (a == 0) return b;
    return (b != 0 && b < a) ? b : a;
}

// The memory limit of this process's cgroup and of every cgroup above it, 0 when none is
// set: memory.max of each (version 2), or hierarchical_memory_limit of the memory
// controller, which already counts the ancestors, and memory.limit_in_bytes (version 1,
// where "no limit" is a number near 2^63).
static unsigned long long cgroup_memory_limit()
{
    FILE *f = std::fopen("/proc/self/cgroup", "r");
    if (f == nullptr) return 0;
    char line[4096];
    std::string v2, v1;
    bool in_v2 = false, in_v1 = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const std::string text(line, std::strcspn(line, "\n"));
        if (text.compare(0, 4, "0::/") == 0) v2 = text.substr(3), in_v2 = true;
        const size_t memory = text.find(":memory:");
        if (memory != std::string::npos) v1 = text.substr(memory + 8), in_v1 = true;
    }
    std::fclose(f);
    unsigned long long limit = 0;
    for (std::string group = v2; in_v2 && group.size() > 1; group.erase(group.rfind('/')))
        limit = tighter(limit, number_in_file("/sys/fs/cgroup" + group + "/memory.max"));
    if (in_v1) {
        const std::string dir = "/sys/fs/cgroup/memory" + v1;
        for (unsigned long long old : {number_in_file(dir + "/memory.limit_in_bytes"),
                                       keyed_number_in_file(dir + "/memory.stat", "hierarchical_memory_limit")})
            if (old < (1ULL << 62)) limit = tighter(limit, old);
    }
    return limit;
}

// The smallest of the physical memory, the address-space limit (less what the process
// already maps, and the stack each thread reserves) and the cgroup's memory limit.
MemoryLimit memory_available(int threads, unsigned long long budget)
{
    if (budget != 0) return MemoryLimit{budget, "the budget set"};
    MemoryLimit limit{ULLONG_MAX, "this machine"};
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) limit = MemoryLimit{static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page), "this machine"};
    rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        const unsigned long long mapped = number_in_file("/proc/self/statm") * static_cast<unsigned long long>(page > 0 ? page : 4096);
        const unsigned long long reserved = mapped + static_cast<unsigned long long>(threads) * (8ULL << 20);
        const unsigned long long room = as.rlim_cur > reserved ? as.rlim_cur - reserved : 0;
        if (room < limit.bytes) limit = MemoryLimit{room, "the address-space limit (ulimit -v)"};
    }
    const unsigned long long cgroup = cgroup_memory_limit();
    if (cgroup != 0 && cgroup < limit.bytes) limit = MemoryLimit{cgroup, "the cgroup's memory limit"};
    return limit;
}
