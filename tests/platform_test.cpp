// The platform layer's library loading: lib_path names the file that a handle was loaded from, and
// the tool's executable never loads a vendor library from its working directory (a planted library
// that leaves a marker file when loaded shows it) nor carries a search path entry relative to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {
const char* const kMarker = "planted-library-loaded";

// The file names under which the PEAK and Kvaser back-ends look for their libraries on Linux.
const char* const kVendorNames[] = {"libpcanbasic.so", "libpcanbasic.so.4", "libpcanbasic.so.0",
                                    "libcanlib.so.1", "libcanlib.so"};

// Copies the planted library to `path`, creating its directory.
void plant(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::filesystem::copy_file(RALVEX_PLANTED_LIBRARY, path);
}

std::string planted_copy(const ScratchDir& dir) { return dir.file("lib/libplanted.so"); }
std::string planted_link(const ScratchDir& dir) { return dir.file("libplanted-link.so"); }

// The scratch copy is opened as `open_as` gives it; lib_path must name `expected`.
struct LibPathRow {
  const char* name;
  std::string (*open_as)(const ScratchDir& dir);
  std::string (*expected)(const ScratchDir& dir);
};

class LibPathTest : public ::testing::TestWithParam<LibPathRow> {};

TEST_P(LibPathTest, NamesTheFileLoaded) {
  const LibPathRow& row = GetParam();
  ScratchDir dir;
  plant(planted_copy(dir));
  std::filesystem::create_symlink("lib/libplanted.so", planted_link(dir));
  void* lib = lib_open(row.open_as(dir).c_str());
  ASSERT_NE(lib, nullptr) << lib_error();
  // The mark that the listing's test looks for.
  EXPECT_TRUE(file_exists(dir.file(kMarker)));
  char path[4096] = "unchanged";
  EXPECT_EQ(lib_path(lib, path, sizeof path), 0);
  EXPECT_EQ(std::string(path), row.expected(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LibPathTest,
    ::testing::Values(
        LibPathRow{"full_path", planted_copy, planted_copy},
        // Made whole from the working directory, which is the scratch directory.
        LibPathRow{"relative_path",
                   [](const ScratchDir&) { return std::string("./lib/libplanted.so"); },
                   [](const ScratchDir& dir) {
                     return std::filesystem::canonical(planted_copy(dir)).string();
                   }},
        // The name opened, as a technician finds it on the disk (libpcanbasic.so, not the
        // versioned file it points to).
        LibPathRow{"symbolic_link", planted_link, planted_link}),
    RowName());

// A library found by its bare name on the loader's path is named by its full path.
TEST(LibPathSystemTest, NamesALibraryFoundOnTheLoadersPath) {
  void* lib = lib_open("libc.so.6");
  ASSERT_NE(lib, nullptr) << lib_error();
  char path[4096];
  ASSERT_EQ(lib_path(lib, path, sizeof path), 0);
  const std::string text(path);
  EXPECT_EQ(text.front(), '/') << text;
  EXPECT_EQ(text.substr(text.rfind('/')), "/libc.so.6") << text;
  EXPECT_TRUE(file_exists(text)) << text;
}

// `room` is the buffer's size less the path's length: one byte is needed for the terminating zero.
struct RoomRow {
  const char* name;
  size_t room;
  int32_t result;
};

class LibPathRoomTest : public ::testing::TestWithParam<RoomRow> {};

TEST_P(LibPathRoomTest, FitsThePathOrWritesNothing) {
  const RoomRow& row = GetParam();
  ScratchDir dir;
  plant(dir.file("libplanted.so"));
  void* lib = lib_open(dir.file("libplanted.so").c_str());
  ASSERT_NE(lib, nullptr) << lib_error();
  const std::string whole = dir.file("libplanted.so");
  std::vector<char> path(whole.size() + row.room, 'x');
  EXPECT_EQ(lib_path(lib, path.data(), path.size()), row.result);
  EXPECT_EQ(std::string(path.data()), row.result == 0 ? whole : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, LibPathRoomTest,
                         ::testing::Values(RoomRow{"one_byte_short", 0, -1},
                                           RoomRow{"exact", 1, 0}, RoomRow{"roomy", 100, 0}),
                         RowName());

TEST(LibPathRoomTest, NoHandleOrNoRoomIsRefused) {
  char path[16] = "unchanged";
  EXPECT_EQ(lib_path(nullptr, path, sizeof path), -1);
  EXPECT_STREQ(path, "");
  std::strcpy(path, "unchanged");
  EXPECT_EQ(lib_path(lib_open("libc.so.6"), path, 0), -1);
  EXPECT_STREQ(path, "unchanged");
}

// The tool's listing (-l) run in a directory that holds the planted library under every vendor
// library name. `library_path` is the tool's LD_LIBRARY_PATH (nullptr: none).
struct PlantedRow {
  const char* name;
  const char* library_path;
  bool loaded;
};

class PlantedLibraryTest : public ::testing::TestWithParam<PlantedRow> {};

TEST_P(PlantedLibraryTest, ListingLoadsNothingFromTheWorkingDirectory) {
  const PlantedRow& row = GetParam();
  ScratchDir dir;
  for (const char* name : kVendorNames) plant(dir.file(name));
  const std::string environment = row.library_path
                                      ? "LD_LIBRARY_PATH=" + shell_quote(row.library_path)
                                      : std::string("env -u LD_LIBRARY_PATH");
  std::string output;
  EXPECT_EQ(run_command(environment + " " + shell_quote(RALVEX_TOOL_PATH) + " -l", &output), 0);
  EXPECT_EQ(file_exists(dir.file(kMarker)), row.loaded) << output;
  if (row.loaded) {
    EXPECT_NE(output.find("libpcanbasic.so is not a usable PCAN-Basic\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("libcanlib.so.1 is not a usable CANlib\n"), std::string::npos) << output;
  } else {
    EXPECT_NE(output.find("no PCAN-Basic library found"), std::string::npos) << output;
    EXPECT_NE(output.find("no CANlib library found"), std::string::npos) << output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PlantedLibraryTest,
    ::testing::Values(PlantedRow{"no_library_path", nullptr, false},
                      PlantedRow{"absolute_entries", "/nonexistent-ralvex:/usr/lib", false},
                      // The loader takes the working directory only when a search path names it
                      // by "." or an empty entry: then the planted copies are loaded.
                      PlantedRow{"dot_entry", ".", true},
                      PlantedRow{"empty_entry", "/nonexistent-ralvex::/usr/lib", true}),
    RowName());

// The RPATH and RUNPATH entries in `readelf -d` output that the loader would take from the
// working directory: empty ones and relative ones ($ORIGIN, the executable's own folder, is not).
std::vector<std::string> working_directory_entries(const std::string& dynamic_section) {
  std::vector<std::string> found;
  std::istringstream lines(dynamic_section);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find('[');
    const size_t close = line.rfind(']');
    const bool search_path = line.find("(RPATH)") != std::string::npos ||
                             line.find("(RUNPATH)") != std::string::npos;
    if (!search_path || open == std::string::npos || close == std::string::npos || close < open) {
      continue;
    }
    const std::string list = line.substr(open + 1, close - open - 1) + ":";
    for (size_t at = 0, colon; (colon = list.find(':', at)) != std::string::npos; at = colon + 1) {
      const std::string entry = list.substr(at, colon - at);
      if (entry.empty() || (entry[0] != '/' && entry.rfind("$ORIGIN", 0) != 0 &&
                            entry.rfind("${ORIGIN}", 0) != 0)) {
        found.push_back(entry);
      }
    }
  }
  return found;
}

TEST(ToolExecutableTest, HasNoSearchPathEntryInTheWorkingDirectory) {
  std::string output;
  ASSERT_EQ(run_command("readelf -d " + shell_quote(RALVEX_TOOL_PATH), &output), 0);
  ASSERT_NE(output.find("(NEEDED)"), std::string::npos) << output;
  EXPECT_EQ(working_directory_entries(output), std::vector<std::string>{}) << output;
}

struct EntriesRow {
  const char* name;
  const char* dynamic_section;
  std::vector<std::string> found;
};

class SearchPathEntriesTest : public ::testing::TestWithParam<EntriesRow> {};

TEST_P(SearchPathEntriesTest, FindsEveryEntryInTheWorkingDirectory) {
  EXPECT_EQ(working_directory_entries(GetParam().dynamic_section), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SearchPathEntriesTest,
    ::testing::Values(
        EntriesRow{"absolute_and_origin",
                   " 0x1d (RUNPATH) Library runpath: [/opt/pcan/lib:$ORIGIN/../lib:${ORIGIN}]\n",
                   {}},
        EntriesRow{"needed_is_no_search_path", " 0x1 (NEEDED) Shared library: [libc.so.6]\n", {}},
        EntriesRow{"empty_entries", " 0xf (RPATH) Library rpath: [:/usr/lib:]\n", {"", ""}},
        EntriesRow{"relative_entries",
                   " 0x1 (NEEDED) Shared library: [libc.so.6]\n"
                   " 0x1d (RUNPATH) Library runpath: [.:lib:/usr/lib:./plugins]\n",
                   {".", "lib", "./plugins"}}),
    RowName());

// Another process holds the lock: this one sees its id and cannot take the lock, and can once the
// other has ended.
TEST(LockTest, AnotherProcessHoldsTheLockUntilItEnds) {
  ScratchDir dir;
  PlatformLock lock = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  {
    const HeldElsewhere other("socketcan-can7");
    EXPECT_EQ(lock_take("socketcan-can7", &lock, &holder), 1);
    EXPECT_EQ(holder, other.pid());
    EXPECT_EQ(lock, PLATFORM_NO_LOCK);
    EXPECT_EQ(lock_holder("socketcan-can7"), other.pid());
    EXPECT_EQ(lock_holder("socketcan-can8"), 0);
    EXPECT_EQ(read_file(std::string(std::getenv("RALVEX_LOCK_DIR")) +
                        "/ralvex-service-tool.socketcan-can7.lock"),
              std::to_string(other.pid()) + "\n");
  }  // the lock goes with the process
  EXPECT_EQ(lock_take("socketcan-can7", &lock, &holder), 0);
  EXPECT_EQ(lock_holder("socketcan-can7"), 0);  // this process's own lock
  lock_release(lock);
}

TEST(LockTest, OneFileHasOneIdentityWhateverThePath) {
  ScratchDir dir;
  write_file(dir.file("ZR4_BL_Log.txt"), "");
  ASSERT_EQ(symlink(dir.file("ZR4_BL_Log.txt").c_str(), dir.file("link.txt").c_str()), 0);
  char first[64];
  char second[64];
  char third[64];
  ASSERT_EQ(file_identity("ZR4_BL_Log.txt", first, sizeof first), 0);
  ASSERT_EQ(file_identity(dir.file("link.txt").c_str(), second, sizeof second), 0);
  EXPECT_STREQ(first, second);
  write_file(dir.file("other.txt"), "");
  ASSERT_EQ(file_identity("other.txt", third, sizeof third), 0);
  EXPECT_STRNE(first, third);
  EXPECT_EQ(file_identity("missing.txt", third, sizeof third), -1);
}
}  // namespace
