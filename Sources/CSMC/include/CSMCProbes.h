#ifndef PYRELLE_CSMC_PROBES_H
#define PYRELLE_CSMC_PROBES_H
/*
 * CSMC system probes: flat functions that read the operating system's state and return plain
 * numbers and plain records. They keep no state except the process-wide stop flag, never
 * allocate memory that outlives a call and never print anything. A probe that cannot read
 * something answers -1 (or an empty snapshot); none of them fails loudly.
 *
 * The power-manager probes (speed and scheduler limits, available and total CPUs, thermal
 * warning and state, power source, low-power mode, memory pressure, CPU brand) answer for the
 * virtual Mac while one is configured (PYRELLE_SMC_SOCKET or an in-process device), so a
 * simulated machine is a whole machine; otherwise they read Linux. The kernel's own
 * accounting (CPU ticks, processes, owner liveness, stop signals, the clock) always comes
 * from the host.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CPU power status; each field is -1 when the system did not supply it. */
typedef struct PYRPowerStatus {
    int32_t speed_limit;     /* percent of full speed */
    int32_t scheduler_limit; /* percent */
    int32_t available_cpus;  /* CPUs the system currently lets run */
    int32_t thermal_warning; /* thermal warning level: 0 normal, 5 danger, 10 crisis */
} PYRPowerStatus;

/*
 * Host-wide CPU ticks since boot. Systems with 32-bit counters wrap them at 2^32; Linux keeps
 * 64-bit counters and they are passed through whole. Consumers compare the low 32 bits with
 * wrapping arithmetic, which is right for both.
 */
typedef struct PYRCPUTicks {
    uint64_t user;
    uint64_t system;
    uint64_t idle;
    uint64_t nice;
} PYRCPUTicks;

/* A disk counter the system would not give (another user's process read without privileges):
 * unknown, never 0. */
#define PYR_COUNTER_UNKNOWN UINT64_MAX

/* One process of a process snapshot. The caller owns the array; the shim only fills it. */
typedef struct PYRProcessSnapshot {
    int32_t pid;
    int32_t parent_pid;
    uint32_t uid;              /* effective user id */
    uint64_t started;          /* start time in the machine's clock ticks since boot */
    uint64_t cpu_ns;           /* user plus system CPU time, nanoseconds */
    uint64_t memory_bytes;     /* resident memory, bytes */
    uint64_t disk_read_bytes;  /* bytes read from storage over the process's life, or
                                  PYR_COUNTER_UNKNOWN */
    uint64_t disk_write_bytes; /* bytes written to storage over the process's life, or
                                  PYR_COUNTER_UNKNOWN */
    char name[96];             /* NUL-terminated */
} PYRProcessSnapshot;

/* Never fails as a whole; missing values are -1. */
PYRPowerStatus pyr_power_status(void);

/* 0 on success (out filled); otherwise a non-zero status and `out` is untouched. */
int32_t pyr_cpu_ticks(PYRCPUTicks* out);

/* Seconds on a monotonic clock that keeps counting while the machine sleeps. */
double pyr_continuous_seconds(void);

/* 1 when `pid` is a live (not exited) process whose effective user id is `uid`, else 0. */
int32_t pyr_owner_alive(int32_t pid, uint32_t uid);

/* Installs stopHandler for SIGTERM, SIGINT and SIGHUP, replacing earlier dispositions. */
void pyr_install_stop_handlers(void);

/* Signal handler: sets the process-wide stop flag to 1. The flag is never reset. */
void stopHandler(int signal);

/* 1 once SIGTERM, SIGINT or SIGHUP has arrived (after pyr_install_stop_handlers), else 0. */
int32_t pyr_should_stop(void);

/* State of the turbo-disable driver: 1 loaded, 0 not loaded, -1 unknown (always on Linux). */
int32_t pyr_turbo_driver_state(void);

/* 1 on AC power, 0 on another source (battery, UPS), -1 when unknown. */
int32_t pyr_ac_power(void);

/* Memory-pressure level: 1 normal, 2 warning, 4 critical, -1 unknown. */
int32_t pyr_memory_pressure(void);

/* Thermal state: 0 nominal, 1 fair, 2 serious, 3 critical, -1 unknown. */
int32_t pyr_thermal_state(void);

/* Low-power mode: 1 on, 0 off, -1 unknown. */
int32_t pyr_low_power_mode(void);

/* Logical processors of the machine (at least 1). */
int32_t pyr_processor_count(void);

/*
 * Copies the CPU brand into `out` (NUL-terminated, truncated to `size`). Returns the length
 * copied, or -1 when `out` is NULL, `size` < 1 or no brand is known.
 */
int32_t pyr_cpu_brand(char* out, int32_t size);

/*
 * Fills `out` with up to `capacity` processes and returns how many were filled; -1 when
 * `out` is NULL or `capacity` < 1, or when the process list itself cannot be read (an error
 * while listing, or a list without any process, which no running system has). `failures`
 * (optional) receives the number of processes that could not be read (for example because
 * they ended between listing and reading).
 */
int32_t pyr_process_snapshot(PYRProcessSnapshot* out, int32_t capacity, int32_t* failures);

#ifdef __cplusplus
}
#endif

#endif /* PYRELLE_CSMC_PROBES_H */
