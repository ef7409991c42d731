#include "productlib/paths.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "setup/log.h"
#include "setup/unique_fd.h"

int append_slash(char* path, int size) {
  if (size <= 0) return 1;
  const void* end = std::memchr(path, '\0', static_cast<std::size_t>(size));
  if (!end) return 1;
  std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - path);
  // An empty text names no directory; a "/" would turn it into the root.
  if (length == 0) return 1;
  if (path[length - 1] == '/') return 0;
  if (length + 1 >= static_cast<std::size_t>(size)) return 1;
  path[length] = '/';
  path[length + 1] = '\0';
  return 0;
}

int open_in_dir(int* fd, const char* directory, const char* name, int flags, int mode) {
  std::vector<char> path(kPathTextSize, '\0');
  for (const char* part : {directory, name}) {
    if (bounded_append(path.data(), part, path.size()) >= path.size()) {
      logMessage(0, "path (%s) exceeds max path length (%i)", path.data(), kPathTextSize);
      return 1;
    }
  }
  *fd = open(path.data(), flags, mode);
  if (*fd < 0) {
    logError(0, errno, "failed to open(%s)", path.data());
    return 1;
  }
  return 0;
}

namespace {
// Creates each component of an absolute path below "/", relative to the
// current directory, which is "/" when it starts.
int walkComponents(const char* path, mode_t walkMode) {
  std::string copy(path);
  std::size_t start = 0;
  while (start < copy.size()) {
    std::size_t end = copy.find('/', start);
    if (end == std::string::npos) end = copy.size();
    if (end == start) {
      ++start;
      continue;
    }
    std::string component = copy.substr(start, end - start);
    start = end + 1;
    if (mkdir(component.c_str(), walkMode) != 0) {
      if (errno != EEXIST) {
        logError(0, errno, "Failed to make parent directory (%s)", component.c_str());
        return 1;
      }
      struct stat st;
      if (stat(component.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        logMessage(0, "Element in path is not a directory (%s)", component.c_str());
        return 1;
      }
    }
    if (chdir(component.c_str()) != 0) {
      logError(0, errno, "Failed to chdir to directory (%s)", component.c_str());
      return 1;
    }
  }
  return 0;
}
}  // namespace

int make_path(const char* path, mode_t directMode, mode_t walkMode) {
  if (path[0] == '\0') return 0;
  if (mkdir(path, directMode) == 0) return 0;
  if (errno != ENOENT) return 1;
  if (path[0] != '/') return 1;

  // Held open rather than by name: a name can be too long for any buffer or
  // for chdir, and the directory may be moved meanwhile.
  UniqueFd saved(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!saved) {
    logError(0, errno, "Failed to get current directory");
    return 1;
  }
  if (chdir("/") != 0) {
    logError(0, errno, "Failed to chdir to /");
    return 1;
  }
  int result = walkComponents(path, walkMode);
  // Not reported, but not a success either: everything after this call
  // relies on the working directory it found.
  if (fchdir(saved.get()) != 0) result = 1;
  return result;
}

int make_parent_dirs(char* path, mode_t mode) {
  // Each component costs a level of recursion and a copy of the text: a
  // text no system call would take is refused before the walk starts.
  if (strnlen(path, PATH_MAX) >= PATH_MAX) {
    logError(0, ENAMETOOLONG, "Failed to make parent directory (%s)", path);
    return 1;
  }
  // The top of the walk: dirname gives these back unchanged.
  if (path[0] == '\0' || std::strcmp(path, ".") == 0 || std::strcmp(path, "/") == 0) return 0;
  std::string copy(path);
  // dirname cuts the text in place, or gives back its own storage (".", "/")
  // and leaves the text alone: the caller's text ends as the first component.
  char* parent = dirname(path);
  if (copy != parent && make_parent_dirs(parent, mode) != 0) return 1;

  struct stat st;
  if (stat(copy.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    logMessage(0, "Element in path is not a directory (%s)", copy.c_str());
    return 1;
  }
  if (mkdir(copy.c_str(), mode) != 0 && errno != EEXIST) {
    logError(0, errno, "Failed to make parent directory (%s)", copy.c_str());
    return 1;
  }
  return 0;
}
