#pragma once

#include <string>

namespace wf::testing {

/// A fresh directory under TMPDIR (or /tmp), removed with its contents when
/// the object goes away.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Writes a file (mode applied afterwards, e.g. 0755 for scripts).
  std::string write(const std::string& name, const std::string& content, int mode = 0644) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace wf::testing
