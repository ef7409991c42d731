// Replaces a file's content, for every writer of the tool.
//
// The rule: the bytes written become the whole content of the file that the
// writer's own open of the path reaches (kInPlace: where links lead, seen by
// every name it has) or of the new file that takes the name (kRename: a link
// there is replaced), carrying the old file's owner, group, whole mode, ACL,
// extended attributes and inode flags. A failure or a kill at any moment
// leaves the old content or the new, whole, and no name that was not there
// before (but a fixed copy name the writer asks for). Runs of the tool take
// turns: the directory's lock (dir_lock.h) is held from open() to the end.
// The exceptions to the metadata: kForceMode gives exactly `mode`; kNew
// (kRename only) makes new output of whoever runs the tool; and a kRename
// writer that can neither give a new file all the old one has nor write the
// old one itself replaces it with a new file that carries what it can
// (file_metadata.h), as moving the old one away and making a new one would.
//
// Calling order: FileReplacer r(path, placement[, fixed copy path]);
// r.open(&err, mode[, metadata]); [r.keepBackup(path + suffix, &err)];
// r.write(...) as often as needed; r.commit(&err). Failures give false with
// the system's error text in *err; without a commit nothing changes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "setup/dir_lock.h"
#include "setup/new_copy.h"
#include "setup/writer_open.h"

class FileReplacer {
 public:
  enum class Placement { kInPlace, kRename };
  enum class Metadata { kKeep, kForceMode, kNew };

  FileReplacer(std::string path, Placement placement, std::string fixed_copy = {});
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;
  ~FileReplacer();

  // `mode` is a new file's, reduced as creat(2) reduces it.
  bool open(std::string* err, mode_t mode = 0666, Metadata metadata = Metadata::kKeep);
  // The old file stays under `backup`, a name beside the path's.
  bool keepBackup(const std::string& backup, std::string* err);
  bool write(const void* data, std::size_t length, std::string* err);
  bool write(const std::string& text, std::string* err) { return write(text.data(), text.size(), err); }
  bool writeFrom(int fd, std::string* err);  // new output only: all fd holds
  bool commit(std::string* err);
  // After a failure, the fixed copy stays as far as it was written.
  void keepFixedCopy() { fixed_.keep(); }
  // For traces: the old file's descriptor, or where nothing stood, its
  // directory's (the new file is made at commit).
  int descriptor() const { return old_.fd ? old_.fd.get() : dir_.get(); }

 private:
  bool copyCarries();
  bool backUpByCopy(int dir, const std::string& name, std::string* err);
  bool placeCopy(std::string* err);
  std::optional<mode_t> forcedMode() const;

  std::string path_;
  Placement placement_;
  std::string fixed_name_;  // the fixed copy's name beside the path's, or empty
  Metadata metadata_ = Metadata::kKeep;
  mode_t mode_ = 0666;
  bool opened_ = false;
  bool committed_ = false;
  int error_ = 0;  // of a failed write: commit refuses

  HeldDirLock lock_;
  OpenedTarget old_;       // the file the writer's open reached, if any
  UniqueFd dir_;           // where the new file takes its name
  std::string name_;
  bool in_place_ = false;  // the old file itself gets the content
  bool partial_copy_ = false;  // it can't, nor can a copy carry all it has
  NewCopy fixed_;          // the fixed copy, filled as the writer writes
  NewCopy output_;         // new output, filled as it comes
  std::string content_;    // everything else waits for the commit
};
