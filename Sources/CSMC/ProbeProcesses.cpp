// The process snapshot on Linux: one pass over <root>/proc, reading each process's stat,
// status and io files, where needed and readable, with open/read into stack buffers. Nothing is
// allocated per process and nothing per call but the directory descriptor, so a table of thousands
// of processes costs only the kernel's own work of formatting those files.

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "ProbeLinux.hpp"

namespace pyrelle::csmc::probes {

namespace {

// Layout of the records getdents64 returns.
struct KernelDirent64 {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Parses a whole positive pid from a /proc entry name; 0 for anything else.
int32_t pidFromName(const char* name) {
    int32_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [stop, error] = std::from_chars(name, end, pid);
    if (error != std::errc() || stop != end || name[0] == '0') return 0;
    return pid;
}

// The fields of /proc/<pid>/stat the snapshot needs.
struct StatFields {
    std::string_view name;  // comm, at most 15 bytes on current kernels
    int32_t parent = 0;
    uint64_t flags = 0;
    uint64_t userTicks = 0, systemTicks = 0, startTicks = 0, residentPages = 0;
};

// /proc/<pid>/stat is "pid (comm) state ppid ... utime(14) stime(15) ... starttime(22)
// vsize(23) rss(24) ...". comm may itself hold spaces and parentheses, so it ends at the last
// ')'. False when the text is short or garbled.
bool parseStat(std::string_view text, StatFields& fields) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    fields.name = text.substr(open + 1, close - open - 1);
    const char* cursor = text.data() + close + 1;
    const char* end = text.data() + text.size();
    int field = 2;  // the comm field ends here
    while (cursor < end && field < 24) {
        while (cursor < end && *cursor == ' ') ++cursor;
        if (cursor >= end || *cursor == '\n') break;
        ++field;
        const char* token = cursor;
        while (cursor < end && *cursor != ' ' && *cursor != '\n') ++cursor;
        uint64_t* target = nullptr;
        switch (field) {
            case 4: {
                const auto [stop, error] = std::from_chars(token, cursor, fields.parent);
                if (error != std::errc() || stop != cursor) return false;
                continue;
            }
            case 9: target = &fields.flags; break;
            case 14: target = &fields.userTicks; break;
            case 15: target = &fields.systemTicks; break;
            case 22: target = &fields.startTicks; break;
            case 24: target = &fields.residentPages; break;
            default: continue;
        }
        const auto [stop, error] = std::from_chars(token, cursor, *target);
        if (error != std::errc() || stop != cursor) return false;
    }
    return field >= 24;
}

// The effective uid: the second column of the "Uid:" line of /proc/<pid>/status.
bool parseEffectiveUID(std::string_view text, uint32_t& uid) {
    const auto line = text.find("\nUid:");
    if (line == std::string_view::npos) return false;
    const char* cursor = text.data() + line + 5;
    const char* end = text.data() + text.size();
    for (int column = 0; column < 2; ++column) {
        while (cursor < end && (*cursor == ' ' || *cursor == '\t')) ++cursor;
        const auto [stop, error] = std::from_chars(cursor, end, uid);
        if (error != std::errc()) return false;
        cursor = stop;
    }
    return true;
}

// Reads a /proc file like readFileAt and also gives the owner of its inode.
ssize_t readOwnedFile(int dirfd, const char* path, char* buffer, size_t capacity, uid_t& owner) {
    buffer[0] = '\0';
    const int fd = openat(dirfd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -errno;
    struct stat info {};
    ssize_t result = fstat(fd, &info) == 0 ? 0 : -errno;
    if (result == 0) {
        owner = info.st_uid;
        result = readOpenFile(fd, buffer, capacity);
    }
    close(fd);
    return result;
}

constexpr uint64_t kKernelThread = 0x00200000;  // PF_KTHREAD in stat's flags

// "<key> <number>" inside /proc/<pid>/io; unknown when missing or garbled.
uint64_t ioField(std::string_view text, std::string_view key) {
    auto at = text.find(key);
    while (at != std::string_view::npos && at != 0 && text[at - 1] != '\n')
        at = text.find(key, at + 1);
    if (at == std::string_view::npos) return PYR_COUNTER_UNKNOWN;
    const char* cursor = text.data() + at + key.size();
    const char* end = text.data() + text.size();
    while (cursor < end && *cursor == ' ') ++cursor;
    uint64_t value = 0;
    const auto [stop, error] = std::from_chars(cursor, end, value);
    return error == std::errc() ? value : PYR_COUNTER_UNKNOWN;
}

void copyName(char (&target)[96], std::string_view name) {
    const size_t length = std::min(name.size(), sizeof target - 1);
    std::memcpy(target, name.data(), length);
    target[length] = '\0';
}

// comm is cut at 15 bytes. For a name that long, the basename of argv[0] is used instead when
// it continues the same name (so "systemd-journald" is not shown as "systemd-journal"); a
// rewritten or unrelated argv[0] keeps the kernel's name.
void fullName(int procfd, int32_t pid, std::string_view comm, char (&target)[96]) {
    copyName(target, comm);
    if (comm.size() < 15) return;
    char path[32];
    std::snprintf(path, sizeof path, "%d/cmdline", pid);
    char buffer[512];
    const ssize_t got = readFileAt(procfd, path, buffer, sizeof buffer);
    if (got <= 0) return;
    std::string_view argv0(buffer, strnlen(buffer, static_cast<size_t>(got)));
    const auto slash = argv0.rfind('/');
    if (slash != std::string_view::npos) argv0.remove_prefix(slash + 1);
    if (argv0.size() > comm.size() && argv0.substr(0, comm.size()) == comm) copyName(target, argv0);
}

enum class Read { ok, failed };

// What one pass needs to know about the reader itself.
struct Reader {
    long ticksPerSecond = 100;
    uint64_t pageSize = 4096;
    uid_t uid = 0;  // effective
    // Whether another user's io file can be read at all: the kernel allows it only to a
    // reader that may trace the process. Without that right, asking is a denied open per
    // process per pass, so only the reader's own processes are asked.
    bool readsEveryIo = false;
};

bool hasEffectiveTraceRight() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return true;  // unknown: ask every process
    return (data[CAP_SYS_PTRACE / 32].effective & (1u << (CAP_SYS_PTRACE % 32))) != 0;
}

// Fills `entry` for `pid`. Counts as failed when the process itself cannot be read (it ended,
// or its files are short, garbled or denied); its io file alone being denied (another user's
// process read without privileges) leaves the disk counters unknown instead.
Read readProcess(int procfd, int32_t pid, const Reader& reader, PYRProcessSnapshot& entry) {
    char path[32];
    char stat[1024];
    std::snprintf(path, sizeof path, "%d/stat", pid);
    uid_t owner = 0;
    if (readOwnedFile(procfd, path, stat, sizeof stat, owner) <= 0) return Read::failed;
    StatFields fields;
    if (!parseStat(stat, fields)) return Read::failed;

    // A process's /proc files belong to its effective uid, except that a process which is
    // not dumpable (setuid programs, privilege-separated daemons) shows them as root's. So
    // only a root-owned entry, other than a kernel thread, needs status to learn its uid.
    uint32_t uid = owner;
    if (owner == 0 && (fields.flags & kKernelThread) == 0) {
        char status[512];
        std::snprintf(path, sizeof path, "%d/status", pid);
        if (readFileAt(procfd, path, status, sizeof status) <= 0 ||
            !parseEffectiveUID(status, uid)) {
            return Read::failed;
        }
    }

    char io[512];
    ssize_t ioRead = -EACCES;
    if (reader.readsEveryIo || owner == reader.uid) {
        std::snprintf(path, sizeof path, "%d/io", pid);
        ioRead = readFileAt(procfd, path, io, sizeof io);
        if (ioRead == -ENOENT || ioRead == -ESRCH) return Read::failed;
    }

    std::memset(&entry, 0, sizeof entry);
    entry.pid = pid;
    entry.parent_pid = fields.parent;
    entry.uid = uid;
    entry.started = fields.startTicks;
    const double nanoseconds =
        (static_cast<double>(fields.userTicks) + static_cast<double>(fields.systemTicks)) * 1e9 /
        static_cast<double>(reader.ticksPerSecond);
    entry.cpu_ns =
        nanoseconds >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(nanoseconds);
    entry.memory_bytes = fields.residentPages > UINT64_MAX / reader.pageSize
                             ? UINT64_MAX
                             : fields.residentPages * reader.pageSize;
    entry.disk_read_bytes = PYR_COUNTER_UNKNOWN;
    entry.disk_write_bytes = PYR_COUNTER_UNKNOWN;
    if (ioRead > 0) {
        const std::string_view text(io, static_cast<size_t>(ioRead));
        entry.disk_read_bytes = ioField(text, "read_bytes:");
        entry.disk_write_bytes = ioField(text, "write_bytes:");
    }
    // A kernel thread has no argv to continue its name from.
    if ((fields.flags & kKernelThread) != 0)
        copyName(entry.name, fields.name);
    else
        fullName(procfd, pid, fields.name, entry.name);
    return Read::ok;
}

}  // namespace

// Linux meanings of the record's fields: `started` is field 22 of stat (clock ticks since
// boot), `cpu_ns` is utime + stime, `memory_bytes` the resident set (stat's rss, the same
// counter as statm's), the disk counters are io's read_bytes/write_bytes (bytes that reached
// the storage layer), and `uid` is the effective uid.
int32_t processSnapshot(const char* root, PYRProcessSnapshot* out, int32_t capacity,
                        int32_t* failures) {
    if (out == nullptr || capacity < 1) return -1;
    if (failures != nullptr) *failures = 0;
    const std::string procPath = joinRoot(root, "/proc");
    const int procfd = open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procfd < 0) return -1;

    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    Reader reader;
    if (ticks > 0) reader.ticksPerSecond = ticks;
    if (page > 0) reader.pageSize = static_cast<uint64_t>(page);
    reader.uid = geteuid();
    reader.readsEveryIo = hasEffectiveTraceRight();

    // A listing that breaks off, or lists no process at all (an unmounted /proc is an empty
    // directory), is a failure: reporting it as an empty table would make every process
    // look ended.
    int32_t filled = 0, failed = 0;
    bool listed = false;
    alignas(8) char listing[16384];
    while (filled < capacity) {
        const long got = syscall(SYS_getdents64, procfd, listing, sizeof listing);
        if (got < 0) {
            close(procfd);
            return -1;
        }
        if (got == 0) break;
        for (long offset = 0; offset < got && filled < capacity;) {
            const auto* entry = reinterpret_cast<const KernelDirent64*>(listing + offset);
            offset += entry->length;
            if (entry->type != DT_DIR && entry->type != DT_UNKNOWN) continue;
            const int32_t pid = pidFromName(entry->name);
            if (pid <= 0) continue;
            listed = true;
            if (readProcess(procfd, pid, reader, out[filled]) == Read::ok) {
                ++filled;
            } else {
                ++failed;
            }
        }
    }
    close(procfd);
    if (!listed) return -1;
    if (failures != nullptr) *failures = failed;
    return filled;
}

}  // namespace pyrelle::csmc::probes
