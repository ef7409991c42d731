// Directories and paths.
//
// - append_slash: 0 when the text ends with "/" (appending one if needed);
//   1, text unchanged and no line, when there is no room, when the text is
//   empty or when the buffer holds no terminator.
// - open_in_dir joins directory and name exactly as given (no "/" between),
//   in a 20480-byte path; a longer path is refused with a line.
// - make_path: the path with its own mode when the directory above exists;
//   otherwise, for an absolute path, every missing directory with the walk
//   mode. An existing path and a relative path with something missing above
//   give 1 without a line. Changes the process's working directory while it
//   walks and always changes back to the very directory it started in,
//   however long its path; when it cannot, the result is 1, without a line.
// - make_parent_dirs creates each directory of the path, outermost first,
//   accepting ones that exist; it alters the caller's text. A text of
//   PATH_MAX characters or more is refused with a line, creating nothing.
#pragma once

#include <sys/types.h>

constexpr int kPathTextSize = 20480;

int append_slash(char* path, int size);
int open_in_dir(int* fd, const char* directory, const char* name, int flags, int mode);
int make_path(const char* path, mode_t directMode, mode_t walkMode);
int make_parent_dirs(char* path, mode_t mode);
