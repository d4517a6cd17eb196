// The limits a Linux control group sets on the process: the memory of its
// own group and of every group above it, and the CPU time they allow, in
// version 1 and version 2 hierarchies alike. Read from the files the kernel
// shows under `root` (empty for the real system; tests lay out a tree of
// their own): proc/self/cgroup names the process's groups, proc/self/mountinfo
// where their hierarchies are mounted.
//
// Nothing here ever fails a run: a file that cannot be read or parsed is no
// limit from there.
#pragma once

#include <cstdint>

struct CgroupLimits {
  uint64_t memory_bytes = 0;  // the least memory.max or memory.limit_in_bytes; 0: none
  double cpus = 0;            // the least quota / period, in CPUs; 0: none
};

CgroupLimits read_cgroup_limits(const char *root);

// The CPUs within a quota of `cpus` (0: none): the affinity count, at most
// the quota rounded up, at least 1.
unsigned cpus_within_quota(unsigned affinity, double cpus);

// What the process maps already, from proc/self/status under `root`: its
// address space (VmSize) and its data (VmData), in bytes; 0 when unknown.
struct MappedMemory {
  uint64_t address_space = 0;
  uint64_t data = 0;
};

MappedMemory read_mapped_memory(const char *root);
