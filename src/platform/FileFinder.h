// File-system enumeration by a wildcard pattern, and creation of the folders of a path.
// Used by the CF operations to collect and check PC files and folders, and by the backup
// operations to create the folder of an image file.
//
// Patterns: everything up to the last '/' is the folder, taken literally; the last
// component is matched against the names in that folder, '*' standing for any run of
// characters (also none) and '?' for exactly one character. A last component without
// wildcards names exactly that entry. Matching ignores the letter case of ASCII letters,
// so "ZI*.BIN" also finds "zi00001.bin"; on a case-sensitive file system "Data" and "data"
// are then both found. "." and ".." are never returned.
//
// Thread-safety: a FileFinder belongs to one thread at a time; distinct objects may be used
// on distinct threads. CreateFolderPath may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kz::platform {

// Filter values: plain files only, folders only, anything (every other value).
inline constexpr std::uint32_t FIND_FILES = 0;
inline constexpr std::uint32_t FIND_FOLDERS = 1;
inline constexpr std::uint32_t FIND_ANY = 3;

class FileFinder {
  public:
    // The filter starts as FIND_ANY.
    FileFinder();
    // Closes an open enumeration.
    ~FileFinder();
    FileFinder(const FileFinder&) = delete;
    FileFinder& operator=(const FileFinder&) = delete;

    void SetFilter(std::uint32_t filter) { m_dwFilter = filter; }
    std::uint32_t Filter() const { return m_dwFilter; }

    // Starts an enumeration of pattern (closing one still open) and returns its first
    // entry that passes the filter: FIND_FOLDERS skips entries that are not folders,
    // FIND_FILES skips folders, any other filter takes the first entry. On success the
    // bare name (without the folder) is stored in name. False when nothing matches, when
    // the enumeration ends before an entry passes the filter, or when the name does not
    // fit into capacity characters including a terminator (name.size() + 1 > capacity);
    // name is untouched then. After a false result for a name that did not fit, the
    // enumeration stays open and FindNext continues after that entry.
    bool FindFirst(const std::string& pattern, std::string& name, std::size_t capacity);
    // The next matching entry of the running enumeration, copied as by FindFirst. No
    // filter is applied here. False at the end, without an enumeration, or when the name
    // does not fit (the entry is used up all the same).
    bool FindNext(std::string& name, std::size_t capacity);
    // Ends the enumeration. True when none was open or it closed cleanly.
    bool Close();

    // True when the entry last returned by FindFirst or FindNext is a folder.
    bool LastIsFolder() const { return m_bLastIsFolder; }

  private:
    struct Search;

    // Opens the folder of pattern for an enumeration of the names that match its last
    // component (the system's part; none is open when it is called). False when the
    // pattern names no folder that can be read or has no last component.
    bool Begin(const std::string& pattern);
    // The next matching entry of the open enumeration; false at its end.
    bool NextEntry(std::string& entryName, bool& isFolder);

    std::unique_ptr<Search> m_pSearch;
    std::uint32_t m_dwFilter = FIND_ANY;
    bool m_bLastIsFolder = false;
};

// True when name matches the last component of a pattern as described above ('*', '?',
// ASCII letters regardless of case).
bool WildcardMatch(std::string_view pattern, std::string_view name);

// Makes sure the folder part of path exists: everything after the last '/' is ignored
// (so a path ending in '/' names a folder), and every missing folder on the way is
// created, outermost first (permissions 0777 less the umask). A path without '/' creates
// nothing; a path starting with '/' is taken from the root. Failures are not reported:
// a caller finds out when it cannot open a file there. On Windows '\' separates folders
// as well, and a drive ("C:") or a share ("//server/share") at the start is never created.
void CreateFolderPath(const std::string& path);

}  // namespace kz::platform
