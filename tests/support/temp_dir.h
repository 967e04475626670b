// A fresh folder under /tmp for one test, removed with everything in it afterwards.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace halvex::test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/halvex-test-XXXXXX";
    if (::mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when no folder could be made.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` into the file `name` here; its path.
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string p = File(name);
    FILE* f = std::fopen(p.c_str(), "wb");
    if (f != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return p;
  }

 private:
  std::string path_;
};

}  // namespace halvex::test
