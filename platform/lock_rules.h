// What may stand under a lock's name and which folder may hold the locks, decided from what the
// operating system told of them, for both implementations alike (and tested on either). A lock
// file is a regular file with one link, no more than a lock file's text when another user's.
// Anything else there (a link, a directory, a pipe, a second name of some file) was not made by
// this tool and is refused, never followed, emptied or written. A lock file is held only when it
// belongs to this user or to the system: another user's may tell who holds it, but its owner could
// remove it from under a run that held it and let a second run in.
// The lock folder must be a real folder of the system's or of this user, where others cannot
// remove or replace the files of anyone else.
// Example: lock_file_refusal({LOCK_ENTRY_SYMLINK, 1, true, 0}) is "is a symbolic link".
#pragma once

#include <cstdint>
#include <string>

enum LockEntryKind {
  LOCK_ENTRY_REGULAR,
  LOCK_ENTRY_SYMLINK,  // on Windows any reparse point: a symbolic link, a junction, a mount point
  LOCK_ENTRY_DIRECTORY,
  LOCK_ENTRY_FIFO,
  LOCK_ENTRY_OTHER,  // a device, a socket
};

struct LockEntryFacts {
  LockEntryKind kind;
  uint64_t links;
  bool trusted_owner;  // owned by this run's user, or the system's (root; SYSTEM, Administrators)
  uint64_t size;       // bytes
};

// The largest lock file of another user that is still taken for one: a process id and a line end.
constexpr uint64_t LOCK_TEXT_MAX = 24;

// "" when the entry is a lock file, else what it is ("is a symbolic link", "is a
// directory", "is a named pipe", "is a device or socket", "has 2 names (a hard link)", "is
// another user's file, larger than a lock file's text").
std::string lock_file_refusal(const LockEntryFacts& facts);
// Whether the entry is another user's lock file: never held by this run; root removes it once no
// run holds it and makes its own, any other user is refused while it stays.
bool lock_file_foreign(const LockEntryFacts& facts);

struct LockFolderFacts {
  bool directory;     // a folder, reached without a link or reparse point as its last part
  bool owner_trusted; // owned by the system (root; SYSTEM or Administrators) or by this user
  bool others_write;  // users other than its owner may add or remove entries
  bool sticky;        // only an entry's owner may remove or rename it (POSIX sticky bit)
};

// "" when the folder may hold the locks, else why not ("is not a folder", "belongs to another
// user", "may be changed by other users and is not sticky").
std::string lock_folder_refusal(const LockFolderFacts& facts);

// Windows: what a file's attributes and GetFileType tell, as an entry kind; `elsewhere`: the
// handle is open on another path than the lock's (a link the system followed all the same). The
// numbers are those of the Windows SDK (FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_REPARSE_POINT,
// FILE_TYPE_DISK), given here so that the decision is tested on every system.
constexpr uint32_t LOCK_WIN_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t LOCK_WIN_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr uint32_t LOCK_WIN_TYPE_DISK = 1;
LockEntryKind lock_entry_kind_windows(uint32_t attributes, uint32_t file_type, bool elsewhere);

// Windows: the security descriptor the lock folder is made with (SDDL): SYSTEM and the
// Administrators full control of the folder and all in it; users may list it and add files, and
// have full control of the files they made (CREATOR OWNER), none of anyone else's. Protected, so
// %ProgramData%'s own entries are not inherited.
extern const char* const LOCK_FOLDER_SDDL;
