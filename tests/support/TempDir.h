// A fresh temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace kz::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder as text, ending in '/'.
    std::string str() const { return path_.string() + "/"; }
    // Writes a file below the folder (binary, exactly the given bytes) and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    // Reads a whole file below the folder (empty when missing).
    std::string Read(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

}  // namespace kz::test
