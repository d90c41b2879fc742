// INPUT "-": standard input made into a file that can be read by position.
// A regular file redirected to standard input is used in place; anything else
// (a pipe, a terminal) is copied into a new file in the system's temporary
// folder, never beside the evidence, and that file is removed when the object
// is destroyed.
#ifndef QUARROW_CLI_STDIN_SPOOL_H_
#define QUARROW_CLI_STDIN_SPOOL_H_

#include <atomic>
#include <string>

namespace quarrow {

class StandardInputFile {
 public:
  // Reads descriptor `fd` to its end. Throws Error when the temporary file
  // cannot be made or written, or reading fails; throws Error naming standard
  // input as cancelled when `cancel` becomes true meanwhile. Nothing is left
  // behind on any of these paths.
  explicit StandardInputFile(const std::atomic<bool>* cancel, int fd = 0);
  ~StandardInputFile();
  StandardInputFile(const StandardInputFile&) = delete;
  StandardInputFile& operator=(const StandardInputFile&) = delete;

  // The path the commands read.
  const std::string& path() const { return path_; }
  // True when a copy was made (and will be removed).
  bool spooled() const { return !temporary_.empty(); }

 private:
  std::string path_;
  std::string temporary_;
};

}  // namespace quarrow

#endif  // QUARROW_CLI_STDIN_SPOOL_H_
