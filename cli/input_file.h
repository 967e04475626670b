// Opening a file to read audio from, and reading a descriptor to its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace halvex {

// Opens path read-only and fills st; -1 when it cannot be opened or is a directory.
int OpenInputFile(const std::string& path, struct stat& st);

// Appends everything fd yields to bytes. Plain reads to the end, so descriptors whose size is
// unknown up front (pipes, /proc) work too; a read error ends the file where it stopped.
void ReadToEnd(int fd, std::vector<uint8_t>& bytes);

}  // namespace halvex
