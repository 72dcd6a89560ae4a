// A library whose only work is to show that it was loaded: loading it creates the file
// planted-library-loaded in the working directory. The platform tests copy it, under the vendor
// libraries' names, into a folder that the tool must never search.
#include <fcntl.h>
#include <unistd.h>

namespace {
__attribute__((constructor)) void mark_loaded() {
  const int fd = open("planted-library-loaded", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}
}  // namespace
