// The lock files of the interfaces and the logs, against what another local user can put under a
// lock's name or do with a lock: whatever stands there, no file outside the lock folder changes and
// the run is refused naming it; the files go when their runs end, also after a thousand runs; a
// killed holder keeps no run out; runs of two users stay apart. The deciding rules also for
// Windows, whose file system wine does not show in full.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lock_rules.h"
#include "platform/platform.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace {
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const char kUnitHex[] = ":02000004700288\n:0400000001020304F2\n:00000001FF\n";

std::string lock_folder() { return std::getenv("RALVEX_LOCK_DIR"); }
std::string lock_path(const std::string& name) {
  return lock_folder() + "/ralvex-service-tool." + name + ".lock";
}

// The names in the lock folder, sorted.
std::vector<std::string> lock_folder_names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(lock_folder())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat status_of(const std::string& path) {
  struct stat status {};
  lstat(path.c_str(), &status);
  return status;
}
mode_t mode_of(const std::string& path) { return status_of(path).st_mode & 07777; }

// Drops this (child) process to `uid` and group nogroup.
bool become(uid_t uid) {
  return setgroups(0, nullptr) == 0 && setgid(kNogroup) == 0 && setuid(uid) == 0;
}

// A file outside the lock folder that a planted entry leads to: its content and mode must stay.
struct Victim {
  explicit Victim(const ScratchDir& dir) : path(dir.file("victim.txt")) {
    write_file(path, "keep me\n");
    chmod(path.c_str(), 0600);
  }
  void expect_unchanged() const {
    EXPECT_EQ(read_file(path), "keep me\n");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_FALSE(file_exists(path + ".new"));
  }
  std::string path;
};

// What a local user may leave under a lock's name, and the refusal that names it.
struct PlantRow {
  const char* name;
  int (*plant)(const std::string& lock, const Victim& victim);
  const char* refusal;
};

using Path = const std::string&;
const PlantRow kPlants[] = {
    {"symlink_to_file",
     [](Path lock, const Victim& v) { return symlink(v.path.c_str(), lock.c_str()); },
     "is a symbolic link"},
    // A link to a file that does not exist yet: following it would create /etc/ld.so.preload.
    {"dangling_symlink",
     [](Path lock, const Victim& v) { return symlink((v.path + ".new").c_str(), lock.c_str()); },
     "is a symbolic link"},
    {"hard_link", [](Path lock, const Victim& v) { return link(v.path.c_str(), lock.c_str()); },
     "has 2 names (a hard link)"},
    {"directory", [](Path lock, const Victim&) { return mkdir(lock.c_str(), 0777); },
     "is a directory"},
    {"fifo", [](Path lock, const Victim&) { return mkfifo(lock.c_str(), 0666); },
     "is a named pipe"},
};

std::string refusal_text(const std::string& lock, const char* refusal) {
  return lock + " " + refusal + ", not a lock file of this tool: remove it";
}

class PlantedLockTest : public ::testing::TestWithParam<PlantRow> {};

// The platform's own answer: refused (-2) naming the entry, which is left as it was.
TEST_P(PlantedLockTest, IsRefusedAndNothingBehindItChanges) {
  const PlantRow& row = GetParam();
  ScratchDir dir;
  const Victim victim(dir);
  const std::string lock = lock_path("pcan-1");
  ASSERT_EQ(row.plant(lock, victim), 0) << std::strerror(errno);
  PlatformLock taken = PLATFORM_NO_LOCK;
  int64_t holder = -1;
  EXPECT_EQ(lock_take("pcan-1", &taken, &holder), -2);
  EXPECT_EQ(taken, PLATFORM_NO_LOCK);
  EXPECT_EQ(holder, 0);
  EXPECT_EQ(std::string(lock_error()), refusal_text(lock, row.refusal));
  EXPECT_EQ(lock_holder("pcan-1"), 0);
  victim.expect_unchanged();
  EXPECT_EQ(lock_folder_names(), std::vector<std::string>{"ralvex-service-tool.pcan-1.lock"});
}

INSTANTIATE_TEST_SUITE_P(Rows, PlantedLockTest, ::testing::ValuesIn(kPlants), RowName());

// Which lock a run takes: the log's (named after the log file's device and inode, on `-i sim`)
// or the interface's (pcan:1 through the fake PCAN-Basic).
struct RunLockRow {
  const char* name;
  bool log;  // the log's lock, else the interface's
  const char* args;
  int status;          // as the shell sees it
  const char* before;  // the console: before, the refusal, after
  const char* after;
};

std::string run_lock(const ScratchDir& dir, const RunLockRow& row) {
  if (!row.log) return lock_path("pcan-1");
  char identity[64];
  write_file(dir.file("ZR4_BL_Log.txt"), "");
  EXPECT_EQ(file_identity(dir.file("ZR4_BL_Log.txt").c_str(), identity, sizeof identity), 0);
  return lock_path(std::string("log-") + identity);
}

const RunLockRow kRunLocks[] = {
    {"log", true, "\"$tool\" -i sim -f app.hex", 255,
     "Log file ZR4_BL_Log.txt cannot be held against other runs: ", "\nLogging init error\n"},
    {"interface", false, "\"$tool\" -i pcan:1 -r backup.bin", 254, "Cannot open pcan:1: ",
     "\nCAN init error\n"},
};

// Runs `script` in `dir` with the fake PCAN-Basic on the loader's path (its calls in pcan.txt),
// the tool's program in $tool and the lock folder exported.
int run_tool(const ScratchDir& dir, const std::string& script, std::string* output) {
  const std::string command = "cd " + shell_quote(dir.path()) + " && export LD_LIBRARY_PATH=" +
                              shell_quote(RALVEX_FAKES_DIR) + " RALVEX_LOCK_DIR=" +
                              shell_quote(lock_folder()) +
                              " RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=pcan.txt tool=" +
                              shell_quote(RALVEX_TOOL_PATH) + " && " + script;
  return run_command(command, output);
}

class PlantedRunTest
    : public ::testing::TestWithParam<std::tuple<PlantRow, RunLockRow>> {};

// A run whose lock has something else under its name stops before the log is written or the
// adapter is opened, naming what it found, with a negative exit status.
TEST_P(PlantedRunTest, StopsNamingItAndChangesNothing) {
  const PlantRow& plant = std::get<0>(GetParam());
  const RunLockRow& run = std::get<1>(GetParam());
  ScratchDir dir;
  write_file(dir.file("app.hex"), kUnitHex);
  const Victim victim(dir);
  const std::string lock = run_lock(dir, run);
  ASSERT_EQ(plant.plant(lock, victim), 0) << std::strerror(errno);
  std::string output;
  EXPECT_EQ(run_tool(dir, run.args, &output), run.status) << output;
  const std::string expected = run.before + refusal_text(lock, plant.refusal) + run.after;
  EXPECT_NE(output.find(expected), std::string::npos) << output;
  victim.expect_unchanged();
  EXPECT_EQ(read_file(dir.file("pcan.txt")).find("CAN_Initialize"), std::string::npos);
  EXPECT_FALSE(file_exists(dir.file("backup.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PlantedRunTest,
    ::testing::Combine(::testing::ValuesIn(kPlants), ::testing::ValuesIn(kRunLocks)),
    [](const ::testing::TestParamInfo<std::tuple<PlantRow, RunLockRow>>& row) {
      return std::string(std::get<1>(row.param).name) + "_" + std::get<0>(row.param).name;
    });

// The lock folder: one where other users could remove a held lock, or reached through another
// user's link, is refused; one that does not exist leaves the run unlocked (said in the log), as
// before.
struct FolderRow {
  const char* name;
  char kind;  // what stands at the folder's path: d a folder, l a link to one, f a file, - nothing
  mode_t mode;  // a folder's
  uid_t owner;  // of the folder or the link, when not root
  int32_t result;
  const char* error_end;
};

std::string make_folder(const ScratchDir& dir, const FolderRow& row) {
  const std::string path = dir.file("locks");
  if (row.kind == 'd') {
    mkdir(path.c_str(), 0700);
    chmod(path.c_str(), row.mode);
  } else if (row.kind == 'l') {
    mkdir(dir.file("real").c_str(), 0700);
    symlink(dir.file("real").c_str(), path.c_str());
  } else if (row.kind == 'f') {
    write_file(path, "");
  }
  if (row.owner != 0) lchown(path.c_str(), row.owner, kNogroup);
  return path;
}

class LockFolderTest : public ::testing::TestWithParam<FolderRow> {};

TEST_P(LockFolderTest, IsUsedOnlyWhereOthersCannotMoveALock) {
  const FolderRow& row = GetParam();
  ScratchDir dir;
  const std::string folder = make_folder(dir, row);
  const std::string previous = lock_folder();
  setenv("RALVEX_LOCK_DIR", folder.c_str(), 1);
  PlatformLock taken = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  const int32_t result = lock_take("can0", &taken, &holder);
  setenv("RALVEX_LOCK_DIR", previous.c_str(), 1);
  EXPECT_EQ(result, row.result);
  if (result != 0) {
    const std::string error = lock_error();
    EXPECT_NE(error.find(folder + row.error_end), std::string::npos) << error;
  }
  lock_release(taken);
  if (result == 0) {
    EXPECT_FALSE(file_exists(folder + "/ralvex-service-tool.can0.lock"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LockFolderTest,
    ::testing::Values(
        FolderRow{"sticky", 'd', 01777, 0, 0, ""},
        FolderRow{"world_writable", 'd', 0777, 0, -2,
                  " may be changed by other users and is not sticky: set RALVEX_LOCK_DIR to a "
                  "folder of your own"},
        FolderRow{"group_writable", 'd', 0770, 0, -2, " may be changed by other users"},
        FolderRow{"other_users", 'd', 0755, kNobody, -2, " belongs to another user"},
        FolderRow{"own_symlink", 'l', 0, 0, 0, ""},
        FolderRow{"others_symlink", 'l', 0, kNobody, -2,
                  " is another user's symbolic link: set RALVEX_LOCK_DIR to a folder of your "
                  "own"},
        FolderRow{"plain_file", 'f', 0, 0, -2, " is not a folder"},
        FolderRow{"missing", '-', 0, 0, -1, ": No such file or directory"}),
    RowName());

// A child process that takes `name` (as `uid` when not root) and then waits to be killed or
// released; result() and holder() say what lock_take gave it.
class Holder {
 public:
  Holder(const char* name, uid_t uid) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      if (uid != 0 && !become(uid)) _exit(3);
      PlatformLock lock = PLATFORM_NO_LOCK;
      int64_t said[2] = {0, 0};
      said[0] = lock_take(name, &lock, &said[1]);
      if (write(ready[1], said, sizeof said) != sizeof said) _exit(2);
      char byte = 0;
      while (read(release_[0], &byte, 1) > 0) {
      }
      lock_release_all();
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    if (read(ready[0], said_, sizeof said_) != sizeof said_) said_[0] = 99;
    close(ready[0]);
  }
  ~Holder() { end(); }
  void end() {
    if (pid_ <= 0) return;
    close(release_[1]);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void kill_hard() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(release_[1]);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }
  int32_t result() const { return static_cast<int32_t>(said_[0]); }
  int64_t holder() const { return said_[1]; }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  int64_t said_[2] = {99, 0};
};

// What lock_take gives `name` in a process of `uid` (holder: the id it names).
int32_t take_as(uid_t uid, const char* name, int64_t* holder) {
  const Holder process(name, uid);
  *holder = process.holder();
  return process.result();
}

// Two users' runs on one lock folder (sticky and writable by all, as /run/lock): whoever holds a
// lock keeps the other out and is named; a lock left by a killed run of either is taken over.
class TwoUsersTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chmod(lock_folder().c_str(), 01777), 0); }
  ScratchDir dir_;
};

TEST_F(TwoUsersTest, NobodyIsRefusedNamingRootsRun) {
  Holder root("pcan-1", 0);
  ASSERT_EQ(root.result(), 0);
  int64_t holder = 0;
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), 1);
  EXPECT_EQ(holder, root.pid());
  root.end();
  EXPECT_EQ(lock_folder_names(), std::vector<std::string>{});
}

TEST_F(TwoUsersTest, RootIsRefusedNamingNobodysRun) {
  Holder nobody("pcan-1", kNobody);
  ASSERT_EQ(nobody.result(), 0);
  PlatformLock lock = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  EXPECT_EQ(lock_take("pcan-1", &lock, &holder), 1);
  EXPECT_EQ(holder, nobody.pid());
  EXPECT_EQ(lock_holder("pcan-1"), nobody.pid());
}

// A root run killed leaves its file (mode 0666, made by that run): nobody's next run takes it,
// and cannot remove it (root's, in a sticky folder); root's next run does. A killed run of
// nobody's leaves a file that root's next run takes over and removes.
TEST_F(TwoUsersTest, AKilledRunOfEitherUserKeepsNoneOut) {
  {
    Holder root("pcan-1", 0);
    ASSERT_EQ(root.result(), 0);
    root.kill_hard();
  }
  EXPECT_EQ(mode_of(lock_path("pcan-1")), 0666u);
  int64_t holder = 0;
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), 0);
  // Root's file in a sticky folder: nobody's run could not remove it.
  EXPECT_TRUE(file_exists(lock_path("pcan-1")));
  {
    Holder nobody("can0", kNobody);
    ASSERT_EQ(nobody.result(), 0);
    nobody.kill_hard();
  }
  for (const char* name : {"pcan-1", "can0"}) {
    PlatformLock lock = PLATFORM_NO_LOCK;
    EXPECT_EQ(lock_take(name, &lock, &holder), 0) << name << ": " << lock_error();
    EXPECT_TRUE(file_exists(lock_path(name))) << name;
    EXPECT_EQ(status_of(lock_path(name)).st_uid, 0u) << name;  // root holds only a file of its own
    lock_release(lock);
  }
  EXPECT_EQ(lock_folder_names(), std::vector<std::string>{});
}

// What `uid` (not root) gets from unlinking `path`: 0 removed, else errno.
int unlink_as(uid_t uid, const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (!become(uid)) _exit(99);
    _exit(unlink(path.c_str()) == 0 ? 0 : errno);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A lock file that another user planted: root makes its own before it holds the lock, so that
// the planter cannot remove the held lock and let a second run in; a user who is not root is
// refused while it stays, or, when a run of its owner holds it, told that run.
TEST_F(TwoUsersTest, AnotherUsersFileIsNeverHeldWhereItsOwnerCouldRemoveIt) {
  constexpr uid_t kPlanter = 4321;
  const std::string lock = lock_path("pcan-1");
  write_file(lock, "");
  ASSERT_EQ(chown(lock.c_str(), kPlanter, kNogroup), 0);
  int64_t holder = 0;
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), -2);
  EXPECT_TRUE(file_exists(lock));
  PlatformLock taken = PLATFORM_NO_LOCK;
  ASSERT_EQ(lock_take("pcan-1", &taken, &holder), 0) << lock_error();
  ASSERT_TRUE(file_exists(lock));
  EXPECT_EQ(status_of(lock).st_uid, 0u);
  EXPECT_EQ(unlink_as(kPlanter, lock), EPERM);
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), 1);
  EXPECT_EQ(holder, getpid());
  lock_release(taken);
  // Held by a run of its owner: named, whoever asks.
  Holder planter("can0", kPlanter);
  ASSERT_EQ(planter.result(), 0);
  EXPECT_EQ(take_as(kNobody, "can0", &holder), 1);
  EXPECT_EQ(holder, planter.pid());
  EXPECT_EQ(lock_take("can0", &taken, &holder), 1);
  EXPECT_EQ(holder, planter.pid());
}

// Another user's file that is more than a lock's text is not taken, nor is it written.
TEST_F(TwoUsersTest, AnotherUsersFileLargerThanALockIsRefused) {
  const std::string lock = lock_path("can0");
  write_file(lock, std::string(100, 'x'));
  ASSERT_EQ(chown(lock.c_str(), kNobody, kNogroup), 0);
  PlatformLock taken = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  EXPECT_EQ(lock_take("can0", &taken, &holder), -2);
  EXPECT_EQ(std::string(lock_error()),
            refusal_text(lock, "is another user's file, larger than a lock file's text"));
  EXPECT_EQ(read_file(lock), std::string(100, 'x'));
}

// A lock file of root's that nobody may not write (made so by another tool or an earlier version)
// tells nobody who holds it, and when none does says that it cannot be taken.
TEST_F(TwoUsersTest, ALockNobodyMayNotWriteStillNamesItsHolder) {
  Holder root("pcan-1", 0);
  ASSERT_EQ(chmod(lock_path("pcan-1").c_str(), 0644), 0);
  int64_t holder = 0;
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), 1);
  EXPECT_EQ(holder, root.pid());
  root.kill_hard();
  EXPECT_EQ(take_as(kNobody, "pcan-1", &holder), -2);
}

// Nor is a lock file that nobody may not even read used as no lock: it is refused.
TEST_F(TwoUsersTest, ALockNobodyMayNotReadIsRefused) {
  write_file(lock_path("can0"), "1\n");
  ASSERT_EQ(chmod(lock_path("can0").c_str(), 0600), 0);
  int64_t holder = 0;
  EXPECT_EQ(take_as(kNobody, "can0", &holder), -2);
  EXPECT_EQ(read_file(lock_path("can0")), "1\n");
}

// The tool itself, run as nobody on an interface that a run of root holds: refused before the
// adapter is opened, naming root's process, with the same text as between two runs of one user.
TEST_F(TwoUsersTest, NobodysRunOfTheToolIsRefusedOnAHeldInterface) {
  write_file(dir_.file("app.hex"), kUnitHex);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const HeldElsewhere root("pcan-1");
  std::string output;
  EXPECT_EQ(run_tool(dir_, "runuser -u nobody -- \"$tool\" -i pcan:1 -r backup.bin", &output), 254)
      << output;
  EXPECT_NE(output.find("Cannot open pcan:1: in use by process " + std::to_string(root.pid()) +
                        " (another run of this tool): wait until it ends, or name another "
                        "interface with -i\nCAN init error\n"),
            std::string::npos)
      << output;
  EXPECT_EQ(read_file(dir_.file("pcan.txt")).find("CAN_Initialize"), std::string::npos);
}

// A holder killed outright: its lock went with it; the next take reuses its file and removes it.
TEST(KilledHolderTest, KeepsNoRunOut) {
  ScratchDir dir;
  Holder killed("socketcan-can0", 0);
  ASSERT_EQ(killed.result(), 0);
  const pid_t pid = killed.pid();
  killed.kill_hard();
  EXPECT_EQ(read_file(lock_path("socketcan-can0")), std::to_string(pid) + "\n");
  PlatformLock lock = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  EXPECT_EQ(lock_take("socketcan-can0", &lock, &holder), 0) << lock_error();
  // (Reading the file here would drop the lock: closing any descriptor of a file drops the
  // process's record locks on it.) This process's own lock is not another's, and looking does not
  // drop it.
  EXPECT_EQ(lock_holder("socketcan-can0"), 0);
  int64_t seen = 0;
  EXPECT_EQ(take_as(0, "socketcan-can0", &seen), 1);
  EXPECT_EQ(seen, getpid());
  lock_release(lock);
  EXPECT_EQ(lock_folder_names(), std::vector<std::string>{});
  // Released twice (by lock_release_all, then by its owner): the second closes nothing else.
  ASSERT_EQ(lock_take("socketcan-can0", &lock, &holder), 0);
  lock_release_all();
  // The lowest numbers free, the lock's and its folder's, go to two other files.
  const int first = open(dir.file("a.txt").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  const int second = open(dir.file("b.txt").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  const int other = first == static_cast<int>(lock) ? first : second;
  ASSERT_EQ(other, static_cast<int>(lock));
  lock_release(lock);
  EXPECT_EQ(write(other, "x", 1), 1);
  close(first);
  close(second);
}

// Processes that take and release one lock as fast as they can (a run ending while the next one
// opens its file, over and over): never two inside at once (each marks its stay with a file that
// only one can create), never a refusal, and at the end no file is left.
TEST(LockRaceTest, NeverLetsTwoInAndLeavesNothing) {
  ScratchDir dir;
  const std::string inside = dir.file("inside");
  constexpr int kProcesses = 4;
  constexpr int kRounds = 300;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      int entered = 0;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (entered < kRounds && std::chrono::steady_clock::now() < until) {
        PlatformLock lock = PLATFORM_NO_LOCK;
        int64_t holder = 0;
        const int32_t result = lock_take("race", &lock, &holder);
        if (result < 0) {
          std::fprintf(stderr, "%s\n", lock_error());
          _exit(10);
        }
        if (result == 1) continue;
        const int mark = open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
        if (mark < 0) _exit(11);  // another process is inside too
        close(mark);
        unlink(inside.c_str());
        lock_release(lock);
        ++entered;
      }
      _exit(entered > 0 ? 0 : 12);  // one that never got in within the time was starved
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(lock_folder_names(), std::vector<std::string>{});
}

// A thousand runs of the tool on `-i sim` (each takes the log's lock) and twenty on pcan:1 (the
// interface's too), one killed in the middle of its flash: the lock folder holds what it held
// before, a file of someone else's included.
TEST(ManyRunsTest, LeaveTheLockFolderAsItWas) {
  ScratchDir dir;
  write_file(dir.file("app.hex"), kUnitHex);
  write_file(lock_folder() + "/someone-elses.lock", "1\n");
  const std::vector<std::string> before = lock_folder_names();
  std::string output;
  EXPECT_EQ(run_tool(dir,
                     "n=0; for i in $(seq 1000); do \"$tool\" -i sim -f missing.hex >/dev/null; "
                     "[ $? -eq 253 ] && n=$((n + 1)); done; echo \"$n runs\"",
                     &output),
            0);
  EXPECT_EQ(output, "1000 runs\n");
  EXPECT_EQ(lock_folder_names(), before);
  EXPECT_EQ(run_tool(dir,
                     "for i in $(seq 20); do \"$tool\" -i pcan:1 -f app.hex >/dev/null || exit 1; "
                     "done",
                     &output),
            0);
  EXPECT_EQ(lock_folder_names(), before);
}

// A run killed while it holds the interface and the log: the next run on both is not kept out,
// and after it the folder holds what it held before the killed run.
TEST(ManyRunsTest, AKilledRunKeepsTheNextOneNotOut) {
  ScratchDir dir;
  write_operation_inputs(400);
  const std::vector<std::string> before = lock_folder_names();
  std::string output;
  const std::string pcan_lock = lock_path("pcan-1");
  EXPECT_EQ(run_tool(dir,
                     "\"$tool\" -i pcan:1 -f app.hex >killed.txt & pid=$!; for i in $(seq 100); "
                     "do [ -e " + shell_quote(pcan_lock) + " ] && break; sleep 0.05; done; "
                     "sleep 0.2; kill -KILL $pid; wait $pid; echo \"status $?\"; ls " +
                         shell_quote(lock_folder()),
                     &output),
            0);
  EXPECT_NE(output.find("status 137\n"), std::string::npos) << output;
  EXPECT_NE(output.find("ralvex-service-tool.pcan-1.lock"), std::string::npos) << output;
  write_file(dir.file("app.hex"), kUnitHex);
  EXPECT_EQ(run_tool(dir, "\"$tool\" -i pcan:1 -f app.hex", &output), 0) << output;
  EXPECT_EQ(lock_folder_names(), before);
}

// The rules themselves, as both implementations ask them.
struct EntryRow {
  const char* name;
  LockEntryFacts facts;
  const char* refusal;
  bool foreign;  // another user's lock file, never held
};
class LockEntryRuleTest : public ::testing::TestWithParam<EntryRow> {};
TEST_P(LockEntryRuleTest, DecidesWhatMayBeALock) {
  EXPECT_EQ(lock_file_refusal(GetParam().facts), GetParam().refusal);
  EXPECT_EQ(lock_file_foreign(GetParam().facts), GetParam().foreign);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, LockEntryRuleTest,
    ::testing::Values(
        EntryRow{"ours_or_the_systems", {LOCK_ENTRY_REGULAR, 1, true, 4000}, "", false},
        EntryRow{"others_pid", {LOCK_ENTRY_REGULAR, 1, false, LOCK_TEXT_MAX}, "", true},
        EntryRow{"others_empty", {LOCK_ENTRY_REGULAR, 1, false, 0}, "", true},
        EntryRow{"others_larger", {LOCK_ENTRY_REGULAR, 1, false, LOCK_TEXT_MAX + 1},
                 "is another user's file, larger than a lock file's text", false},
        EntryRow{"hard_link", {LOCK_ENTRY_REGULAR, 2, true, 0}, "has 2 names (a hard link)", false},
        EntryRow{"others_hard_link", {LOCK_ENTRY_REGULAR, 2, false, 0},
                 "has 2 names (a hard link)", false},
        EntryRow{"no_name", {LOCK_ENTRY_REGULAR, 0, true, 0}, "has 0 names (a hard link)", false},
        EntryRow{"symlink", {LOCK_ENTRY_SYMLINK, 1, true, 0}, "is a symbolic link", false},
        EntryRow{"directory", {LOCK_ENTRY_DIRECTORY, 1, true, 0}, "is a directory", false},
        EntryRow{"fifo", {LOCK_ENTRY_FIFO, 1, true, 0}, "is a named pipe", false},
        EntryRow{"device", {LOCK_ENTRY_OTHER, 1, false, 0}, "is a device or socket", false}),
    RowName());

struct FolderRuleRow {
  const char* name;
  LockFolderFacts facts;
  const char* refusal;
};
class LockFolderRuleTest : public ::testing::TestWithParam<FolderRuleRow> {};
TEST_P(LockFolderRuleTest, DecidesWhereLocksMayLie) {
  EXPECT_EQ(lock_folder_refusal(GetParam().facts), GetParam().refusal);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, LockFolderRuleTest,
    ::testing::Values(
        FolderRuleRow{"own", {true, true, false, false}, ""},
        FolderRuleRow{"shared_sticky", {true, true, true, true}, ""},
        FolderRuleRow{"shared_not_sticky", {true, true, true, false},
                      "may be changed by other users and is not sticky"},
        FolderRuleRow{"another_users", {true, false, false, false}, "belongs to another user"},
        FolderRuleRow{"another_users_sticky", {true, false, true, true}, "belongs to another user"},
        FolderRuleRow{"not_a_folder", {false, true, false, false}, "is not a folder"}),
    RowName());

// Windows: a reparse point is a link whatever else it is; only a disk file may be a lock.
struct WindowsKindRow {
  const char* name;
  uint32_t attributes;
  uint32_t file_type;
  bool elsewhere;  // opened on another path than the lock's
  LockEntryKind kind;
};
class WindowsEntryKindTest : public ::testing::TestWithParam<WindowsKindRow> {};
TEST_P(WindowsEntryKindTest, TellsTheKind) {
  EXPECT_EQ(lock_entry_kind_windows(GetParam().attributes, GetParam().file_type,
                                    GetParam().elsewhere),
            GetParam().kind);
}
constexpr uint32_t kArchive = 0x20;
constexpr uint32_t kTypePipe = 3;
constexpr uint32_t kTypeChar = 2;
INSTANTIATE_TEST_SUITE_P(
    Rows, WindowsEntryKindTest,
    ::testing::Values(
        WindowsKindRow{"file", kArchive, LOCK_WIN_TYPE_DISK, false, LOCK_ENTRY_REGULAR},
        WindowsKindRow{"symlink_to_file", kArchive | LOCK_WIN_ATTRIBUTE_REPARSE_POINT,
                       LOCK_WIN_TYPE_DISK, false, LOCK_ENTRY_SYMLINK},
        // A link followed all the same (wine and a Unix symbolic link): a file elsewhere.
        WindowsKindRow{"followed_link", kArchive, LOCK_WIN_TYPE_DISK, true, LOCK_ENTRY_SYMLINK},
        WindowsKindRow{"junction",
                       LOCK_WIN_ATTRIBUTE_DIRECTORY | LOCK_WIN_ATTRIBUTE_REPARSE_POINT,
                       LOCK_WIN_TYPE_DISK, false, LOCK_ENTRY_SYMLINK},
        WindowsKindRow{"directory", LOCK_WIN_ATTRIBUTE_DIRECTORY, LOCK_WIN_TYPE_DISK, false,
                       LOCK_ENTRY_DIRECTORY},
        WindowsKindRow{"pipe", 0, kTypePipe, false, LOCK_ENTRY_OTHER},
        WindowsKindRow{"device", 0, kTypeChar, false, LOCK_ENTRY_OTHER}),
    RowName());

// The lock folder's access list: SYSTEM and the Administrators control all; users' one entry
// lets them add files to the folder and is not inherited by them, so that a user has rights only
// on the files of their own (CREATOR OWNER), none to delete another's (FILE_DELETE_CHILD, 0x40).
TEST(WindowsLockFolderAclTest, GivesUsersOnlyTheirOwnFiles) {
  const std::string sddl = LOCK_FOLDER_SDDL;
  EXPECT_EQ(sddl.rfind("D:P", 0), 0u) << "inherits from its parent: " << sddl;
  std::vector<std::string> aces;
  for (size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1)) {
    aces.push_back(sddl.substr(at + 1, sddl.find(')', at) - at - 1));
  }
  std::vector<std::string> trustees;
  for (const std::string& ace : aces) {
    // ace_type;ace_flags;rights;object_guid;inherit_object_guid;account_sid
    std::vector<std::string> fields(1);
    for (char c : ace) {
      if (c == ';') {
        fields.emplace_back();
      } else {
        fields.back() += c;
      }
    }
    ASSERT_EQ(fields.size(), 6u) << ace;
    EXPECT_EQ(fields[0], "A") << ace;
    const std::string& who = fields[5];
    trustees.push_back(who);
    if (who == "SY" || who == "BA" || who == "CO") {
      EXPECT_EQ(fields[1], who == "CO" ? "OIIO" : "OICI") << ace;
      EXPECT_EQ(fields[2], "FA") << ace;
    } else if (who == "BU") {
      EXPECT_EQ(fields[1], "") << ace;
      const unsigned long rights = std::stoul(fields[2], nullptr, 16);
      EXPECT_EQ(rights & 0x2u, 0x2u) << "users cannot add a file: " << ace;
      EXPECT_EQ(rights & 0x40u, 0u) << "users may delete others' files: " << ace;
      EXPECT_EQ(rights & 0x4u, 0u) << "users may make folders: " << ace;
      EXPECT_EQ(rights & 0x40000u, 0u) << "users may change the access list: " << ace;
    } else {
      ADD_FAILURE() << "a trustee that should not be there: " << ace;
    }
  }
  std::sort(trustees.begin(), trustees.end());
  EXPECT_EQ(trustees, (std::vector<std::string>{"BA", "BU", "CO", "SY"}));
}
}  // namespace
