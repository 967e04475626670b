// An output file that appears at its destination only once it is complete.
#pragma once

#include <string>

namespace halvex {

// Writes into a temporary file beside the destination and renames it over the destination on
// Commit; destroying an uncommitted file removes the temporary, so a failed render leaves nothing.
// A destination that already exists and is not a regular file (a device, a pipe) is written in
// place: renaming over /dev/null would replace the device. A link at the destination is replaced
// by the new file, its target left alone; a link another user made in a sticky folder is refused.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Errors: "cannot write: DESTINATION", "refusing a link owned by another user: DESTINATION".
  bool Open(const std::string& destination, std::string& error);
  int fd() const { return fd_; }
  // Whether fd can be read back and sought (a temporary can; a pipe cannot).
  bool seekable() const { return seekable_; }
  // Flushes to disk and puts the file in place. Errors: "write failed: DESTINATION".
  bool Commit(std::string& error);

 private:
  void Discard();

  std::string shown_;       // the destination as given, for messages
  std::string target_;      // what the temporary is renamed to
  std::string temporary_;  // empty when writing in place
  int fd_ = -1;
  bool seekable_ = false;
  int slot_ = -1;  // in the table of temporaries removed on a fatal signal
};

// On SIGINT, SIGTERM and SIGHUP, removes every temporary still open, then dies of the signal.
void RemoveTemporariesOnSignals();

}  // namespace halvex
