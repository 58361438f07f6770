// The process snapshot over fixture trees (field mapping, unreadable and garbled processes
// counted as failures, the capacity rule) and over the live /proc of this machine.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <vector>

#include "FixtureTree.hpp"
#include "ProbeLinux.hpp"
#include "support/Subprocess.hpp"

extern char** environ;

namespace pyrelle::csmc::probes {
namespace {

using testing::FixtureTree;

std::string statLine(int pid, const std::string& comm, int ppid, uint64_t utime, uint64_t stime,
                     uint64_t start, uint64_t rss, char state = 'S') {
    // Fields 1..24 of /proc/<pid>/stat, then a tail as the kernel writes it.
    return std::to_string(pid) + " (" + comm + ") " + state + " " + std::to_string(ppid) +
           " 1 1 0 -1 4194304 100 0 0 0 " + std::to_string(utime) + " " + std::to_string(stime) +
           " 0 0 20 0 1 0 " + std::to_string(start) + " 1000000 " + std::to_string(rss) +
           " 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

std::string statusText(uint32_t realUid, uint32_t effectiveUid) {
    return "Name:\tx\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t1\nNgid:\t0\nPid:\t1\nPPid:\t0\n"
           "TracerPid:\t0\nUid:\t" +
           std::to_string(realUid) + "\t" + std::to_string(effectiveUid) +
           "\t0\t0\nGid:\t0\t0\t0\t0\n";
}

void writeProcess(const FixtureTree& tree, int pid, const std::string& stat,
                  const std::string& status, const char* io) {
    const std::string base = "proc/" + std::to_string(pid) + "/";
    tree.write(base + "stat", stat);
    tree.write(base + "status", status);
    if (io) tree.write(base + "io", io);
}

const char* kIO =
    "rchar: 9\nwchar: 9\nsyscr: 1\nsyscw: 1\nread_bytes: 4096\nwrite_bytes: 8192\n"
    "cancelled_write_bytes: 0\n";

const PYRProcessSnapshot* find(const std::vector<PYRProcessSnapshot>& entries, int32_t count,
                               int32_t pid) {
    for (int32_t i = 0; i < count; ++i) {
        if (entries[i].pid == pid) return &entries[i];
    }
    return nullptr;
}

TEST(ProcessSnapshotFixture, FieldsFromStatStatusAndIO) {
    if (geteuid() != 0) GTEST_SKIP() << "fixture files must belong to root";
    FixtureTree tree;
    const long hz = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    writeProcess(tree, 100, statLine(100, "worker", 1, 3 * hz, hz / 2, 12345, 10),
                 statusText(7, 501), kIO);
    // A name holding spaces and parentheses ends at the last ')'.
    writeProcess(tree, 101, statLine(101, "odd) (name", 100, 0, 0, 99, 0), statusText(0, 0), kIO);
    // comm is cut at 15 bytes; argv[0] continuing it gives the full name.
    writeProcess(tree, 102, statLine(102, "systemd-journal", 1, 0, 0, 5, 0), statusText(0, 0), kIO);
    tree.write("proc/102/cmdline", std::string("/lib/systemd/systemd-journald\0--x\0", 34));
    // An argv[0] that does not continue comm keeps the kernel's name.
    writeProcess(tree, 103, statLine(103, "abcdefghijklmno", 1, 0, 0, 5, 0), statusText(0, 0), kIO);
    tree.write("proc/103/cmdline", std::string("renamed\0", 8));
    tree.write("proc/self/stat", "not a process");
    tree.write("proc/stat", "cpu  1 2 3 4\n");

    std::vector<PYRProcessSnapshot> out(16);
    int32_t failures = -1;
    const int32_t count = processSnapshot(tree.root(), out.data(), 16, &failures);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(failures, 0);

    const auto* worker = find(out, count, 100);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(worker->parent_pid, 1);
    EXPECT_EQ(worker->uid, 501u);  // the effective uid
    EXPECT_EQ(worker->started, 12345u);
    EXPECT_EQ(worker->cpu_ns, 3'500'000'000u);
    EXPECT_EQ(worker->memory_bytes, 10u * static_cast<uint64_t>(page));
    EXPECT_EQ(worker->disk_read_bytes, 4096u);
    EXPECT_EQ(worker->disk_write_bytes, 8192u);
    EXPECT_STREQ(worker->name, "worker");

    ASSERT_NE(find(out, count, 101), nullptr);
    EXPECT_STREQ(find(out, count, 101)->name, "odd) (name");
    EXPECT_EQ(find(out, count, 101)->parent_pid, 100);
    EXPECT_STREQ(find(out, count, 102)->name, "systemd-journald");
    EXPECT_STREQ(find(out, count, 103)->name, "abcdefghijklmno");
}

TEST(ProcessSnapshotFixture, UnreadableProcessesAreCountedNotReported) {
    // Root-owned entries are the ones whose uid comes from status (see the snapshot).
    if (geteuid() != 0) GTEST_SKIP() << "fixture files must belong to root";
    FixtureTree tree;
    writeProcess(tree, 10, statLine(10, "good", 1, 1, 1, 1, 1), statusText(0, 0), kIO);
    tree.mkdir("proc/11");                                                // vanished
    writeProcess(tree, 12, "12 (short) S 1 1\n", statusText(0, 0), kIO);  // short stat
    writeProcess(tree, 13,
                 "13 (garbled) S 1 1 1 0 -1 4194304 100 0 0 0 x?y 1 0 0 20 0 1 0 1 1000 1\n",
                 statusText(0, 0), kIO);  // garbled stat
    writeProcess(tree, 14, statLine(14, "nouid", 1, 1, 1, 1, 1), "Name:\tnouid\n",
                 kIO);  // no Uid line
    writeProcess(tree, 15, statLine(15, "gone-late", 1, 1, 1, 1, 1), statusText(0, 0), nullptr);
    tree.write("proc/16/stat", "");  // empty

    std::vector<PYRProcessSnapshot> out(8);
    int32_t failures = 0;
    const int32_t count = processSnapshot(tree.root(), out.data(), 8, &failures);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(out[0].pid, 10);
    EXPECT_EQ(failures, 6);
}

// Disk counters the system would not give are unknown, never 0; the process itself is still
// reported.
TEST(ProcessSnapshotFixture, DeniedOrGarbledIOGivesUnknownDiskBytesWithoutAFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "fixture files must belong to root";
    FixtureTree tree;
    writeProcess(tree, 20, statLine(20, "other-user", 1, 1, 1, 1, 1), statusText(1000, 1000),
                 nullptr);
    tree.mkdir("proc/20/io");  // opens, but cannot be read: like another user's io file
    writeProcess(tree, 21, statLine(21, "half-io", 1, 1, 1, 1, 1), statusText(0, 0),
                 "rchar: 1\nread_bytes: 512\nwrite_bytes: many\n");
    writeProcess(tree, 22, statLine(22, "empty-io", 1, 1, 1, 1, 1), statusText(0, 0), "");
    std::vector<PYRProcessSnapshot> out(4);
    int32_t failures = -1;
    const int32_t count = processSnapshot(tree.root(), out.data(), 4, &failures);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(find(out, count, 20)->disk_read_bytes, PYR_COUNTER_UNKNOWN);
    EXPECT_EQ(find(out, count, 20)->disk_write_bytes, PYR_COUNTER_UNKNOWN);
    EXPECT_EQ(find(out, count, 20)->uid, 1000u);
    EXPECT_EQ(find(out, count, 21)->disk_read_bytes, 512u);
    EXPECT_EQ(find(out, count, 21)->disk_write_bytes, PYR_COUNTER_UNKNOWN);
    EXPECT_EQ(find(out, count, 22)->disk_read_bytes, PYR_COUNTER_UNKNOWN);
}

// No /proc, or one without a single process (procfs not mounted), is a failed listing, not
// an empty table.
TEST(ProcessSnapshotFixture, ArgumentsAndUnlistableProc) {
    FixtureTree tree;
    PYRProcessSnapshot one{};
    int32_t failures = 7;
    EXPECT_EQ(processSnapshot(tree.root(), nullptr, 4, &failures), -1);
    EXPECT_EQ(processSnapshot(tree.root(), &one, 0, &failures), -1);
    EXPECT_EQ(processSnapshot(tree.root(), &one, 1, &failures), -1);  // no /proc at all
    tree.mkdir("proc");
    tree.mkdir("proc/self");
    tree.write("proc/stat", "cpu 1 2 3 4\n");
    EXPECT_EQ(processSnapshot(tree.root(), &one, 1, nullptr), -1);
    tree.mkdir("proc/30");  // listed, but vanished before it was read: a failure of one
    EXPECT_EQ(processSnapshot(tree.root(), &one, 1, &failures), 0);
    EXPECT_EQ(failures, 1);
}

TEST(ProcessSnapshotLive, CapacityOneFillsExactlyOneEntry) {
    std::vector<PYRProcessSnapshot> out(2);
    std::memset(out.data(), 0xAB, sizeof(PYRProcessSnapshot) * 2);
    ASSERT_EQ(pyr_process_snapshot(out.data(), 1, nullptr), 1);
    EXPECT_GT(out[0].pid, 0);
    EXPECT_EQ(out[1].pid, static_cast<int32_t>(0xABABABAB));  // the caller's second slot untouched
}

TEST(ProcessSnapshotLive, SeesThisProcessAsItIs) {
    std::vector<PYRProcessSnapshot> out(8192);
    int32_t failures = -1;
    const int32_t count =
        pyr_process_snapshot(out.data(), static_cast<int32_t>(out.size()), &failures);
    ASSERT_GT(count, 0);
    EXPECT_GE(failures, 0);
    const auto* self = find(out, count, getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->parent_pid, getppid());
    EXPECT_EQ(self->uid, geteuid());
    EXPECT_GT(self->memory_bytes, 0u);
    EXPECT_STREQ(self->name, "tests_probes");
    EXPECT_GT(self->started, 0u);
    EXPECT_EQ(self->name[95], '\0');
}

TEST(ProcessSnapshotLive, AnotherUsersProcessKeepsItsUid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
    // Killed and reaped on every path, a failed assertion included.
    pyrelle::testing::BackgroundProcess sleeper({"/usr/bin/setpriv", "--reuid", "65534", "--regid",
                                                 "65534", "--clear-groups", "sleep", "5"});
    const pid_t child = sleeper.pid();
    std::vector<PYRProcessSnapshot> out(8192);
    const PYRProcessSnapshot* seen = nullptr;
    for (int attempt = 0; attempt < 1000; ++attempt) {  // until setpriv has become sleep
        const int32_t count =
            pyr_process_snapshot(out.data(), static_cast<int32_t>(out.size()), nullptr);
        seen = find(out, count, child);
        if (seen != nullptr && std::strcmp(seen->name, "sleep") == 0) break;
        usleep(2000);
    }
    ASSERT_NE(seen, nullptr);
    EXPECT_STREQ(seen->name, "sleep");
    EXPECT_EQ(seen->uid, 65534u);
    EXPECT_EQ(seen->parent_pid, getpid());
}

TEST(ProcessSnapshotLive, AnUnprivilegedReaderKeepsItsOwnDiskCounters) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    // The reader turns into "nobody" (no capabilities left): its own io file stays readable,
    // root's does not, and neither makes a process count as failed.
    std::vector<PYRProcessSnapshot> out(8192);
    const pid_t parent = getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        // Changing uid made it undumpable (its files root's); an ordinary process is not.
        if (prctl(PR_SET_DUMPABLE, 1) != 0) _exit(10);
        const int32_t count = pyr_process_snapshot(out.data(), 8192, nullptr);
        const PYRProcessSnapshot* self = find(out, count, getpid());
        const PYRProcessSnapshot* root = find(out, count, parent);
        if (self == nullptr || root == nullptr) _exit(11);
        if (self->disk_read_bytes == PYR_COUNTER_UNKNOWN) _exit(12);
        if (root->disk_read_bytes != PYR_COUNTER_UNKNOWN) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not drop root, 11: a process is missing, "
                                         "12: own counters unknown, 13: root's counters read";
}

}  // namespace
}  // namespace pyrelle::csmc::probes
