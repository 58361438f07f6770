#pragma once
// The Linux readers behind the system probes. Each takes the root directory of the file
// system it reads ("/" for the running machine), so tests can point it at a fixture tree of
// /proc and /sys files. None of them throws, allocates memory that outlives the call or
// makes up a value: whatever Linux does not say is answered as -1.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "CSMCProbes.h"

namespace pyrelle::csmc::probes {

// Reads at most `capacity - 1` bytes of the file at `path` (relative to `dirfd`, or absolute
// with AT_FDCWD) into `buffer` and NUL-terminates it. Returns the byte count, or -errno.
ssize_t readFileAt(int dirfd, const char* path, char* buffer, size_t capacity);
// The same for a file already open (left open).
ssize_t readOpenFile(int fd, char* buffer, size_t capacity);

// `root` joined with an absolute-style `path` ("/proc/stat").
std::string joinRoot(const char* root, const char* path);

// Aggregate CPU ticks from <root>/proc/stat. 0 on success; -1 when unreadable or garbled
// (out untouched).
int32_t cpuTicks(const char* root, PYRCPUTicks* out);

// 1 when <root>/proc/<pid> is a live (not zombie) process whose effective uid is `uid`.
int32_t ownerAlive(const char* root, int32_t pid, uint32_t uid);

// Memory-pressure level (1, 2, 4) from <root>/proc/pressure/memory, -1 when unknown.
int32_t memoryPressure(const char* root);

// Power source from <root>/sys/class/power_supply: 1 external, 0 battery, -1 unknown.
int32_t acPower(const char* root);

// Thermal state 0...3 from the thermal zones' trip points, -1 without any usable zone.
int32_t thermalState(const char* root);

// Thermal warning level (0, 5, 10) derived from the thermal state, -1 when unknown.
int32_t thermalWarning(const char* root);

// Lowest cpufreq ceiling over the online CPUs, in percent of the hardware maximum; -1 when
// no CPU exposes cpufreq.
int32_t speedLimit(const char* root);

// Number of CPUs listed in <root>/sys/devices/system/cpu/online, -1 when unknown.
int32_t onlineCPUs(const char* root);

// Low-power mode from the ACPI platform profile: 1 "low-power", 0 another profile, -1 none.
int32_t lowPowerMode(const char* root);

// The whole power status as Linux gives it (the scheduler limit has no Linux source: -1).
PYRPowerStatus powerStatus(const char* root);

// The CPU model name from <root>/proc/cpuinfo; -1 when there is none (see pyr_cpu_brand).
int32_t cpuBrand(const char* root, char* out, int32_t size);

// Process table from <root>/proc, with the contract of pyr_process_snapshot.
int32_t processSnapshot(const char* root, PYRProcessSnapshot* out, int32_t capacity,
                        int32_t* failures);

// Parses a CPU list such as "0-3,8,10-11"; -1 when garbled.
int32_t countCPUList(const char* text);

}  // namespace pyrelle::csmc::probes
