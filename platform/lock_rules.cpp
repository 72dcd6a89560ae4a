// The decisions on lock files and lock folders shared by the POSIX and Windows implementations.
#include "platform/lock_rules.h"

std::string lock_file_refusal(const LockEntryFacts& facts) {
  switch (facts.kind) {
    case LOCK_ENTRY_SYMLINK:
      return "is a symbolic link";
    case LOCK_ENTRY_DIRECTORY:
      return "is a directory";
    case LOCK_ENTRY_FIFO:
      return "is a named pipe";
    case LOCK_ENTRY_OTHER:
      return "is a device or socket";
    case LOCK_ENTRY_REGULAR:
      break;
  }
  // A second name elsewhere would make the folder's lock another file's content too.
  if (facts.links != 1) return "has " + std::to_string(facts.links) + " names (a hard link)";
  if (!facts.trusted_owner && facts.size > LOCK_TEXT_MAX) {
    return "is another user's file, larger than a lock file's text";
  }
  return "";
}

bool lock_file_foreign(const LockEntryFacts& facts) {
  return !facts.trusted_owner && lock_file_refusal(facts).empty();
}

std::string lock_folder_refusal(const LockFolderFacts& facts) {
  if (!facts.directory) return "is not a folder";
  if (!facts.owner_trusted) return "belongs to another user";
  // Anyone who may remove another's entry may remove a held lock and let a second run in.
  if (facts.others_write && !facts.sticky) return "may be changed by other users and is not sticky";
  return "";
}

LockEntryKind lock_entry_kind_windows(uint32_t attributes, uint32_t file_type, bool elsewhere) {
  if ((attributes & LOCK_WIN_ATTRIBUTE_REPARSE_POINT) != 0 || elsewhere) return LOCK_ENTRY_SYMLINK;
  if ((attributes & LOCK_WIN_ATTRIBUTE_DIRECTORY) != 0) return LOCK_ENTRY_DIRECTORY;
  return file_type == LOCK_WIN_TYPE_DISK ? LOCK_ENTRY_REGULAR : LOCK_ENTRY_OTHER;
}

// FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
// SYNCHRONIZE (0x1200A3) for users on the folder alone: no FILE_DELETE_CHILD, no inheritance.
const char* const LOCK_FOLDER_SDDL =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a3;;;BU)(A;OIIO;FA;;;CO)";
