// Loading a shared library and finding its functions by name: dlopen/dlsym here,
// LoadLibrary/GetProcAddress in a Windows backend.
//
// Thread-safety: one SharedLibrary belongs to one owner; distinct objects may be used from
// different threads.
#pragma once

#include <string>

namespace kz::platform {

class SharedLibrary {
  public:
    SharedLibrary() = default;
    // Unloads the library when one is loaded.
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the library at path. A path with a folder separator is taken as it is; a plain
    // file name is looked for on the system's search path. Unloads any library loaded
    // before. False (with the system's reason in *error) when it cannot be loaded, and
    // without trying for a path that IsNonRegularFile names.
    bool Open(const std::string& path, std::string* error = nullptr);
    // The address of the exported symbol, or null.
    void* Symbol(const char* name) const;
    // The file the loaded library came from, as the system found it; empty when none is
    // loaded or the system does not say.
    std::string FilePath() const;
    // Unloads the library; every symbol address taken from it becomes invalid.
    void Close();
    bool IsOpen() const { return m_pHandle != nullptr; }

  private:
    void* m_pHandle = nullptr;
};

// True when path has a folder separator and names something that is there but is not a
// regular file (after links): a FIFO, a folder, a device. Such a path is never handed to the
// system's loader, which would wait on a FIFO for a writer without end.
bool IsNonRegularFile(const std::string& path);

}  // namespace kz::platform
