// The backup image file ("*.MEM"): a 1024-byte header that says which panel and which
// memory areas the image came from, then the bytes of every area in header order.
//
// Layout (numbers little-endian, texts zero-padded and not terminated when full):
//
//   header   0  u16  header kind (1)
//            4  u32  FROM size            8  u32  SRAM size
//           12  u16  header format (2; anything else is an old-format image)
//           32  32   model name
//          272  512  image descriptor:
//                      0  2   version "10"
//                      2  2   core ID, low part (characters 3-4, or 1-2 of a short ID)
//                      4  2   I/O code text ("%02X"), zero bytes when none
//                      6  66  comment
//                     72  u32 unit (transfer unit in bytes)
//                     76  2   core ID, high part (characters 1-2), zero for a short ID
//                     78  u16 signature
//                    126  i16 area count (at most 24)
//                    128  24 x 16-byte area records:
//                           0 u16 type (0 FROM, 1 SRAM)   2 u32 start   6 u32 size
//                          10 u32 verify size (SRAM; 0 for FROM)       14 reserved
//   data  1024  the areas' bytes in record order, without gaps.
//
// The object keeps the header and a working copy of the descriptor, both zero-filled at
// construction. WriteHeader copies the descriptor into the header; LoadHeader copies it out.
// Data reads and appends keep their file open between calls (a transfer moves one packet
// per call); every other access is a fresh open, and any call that names or rewrites the
// file closes the kept handles first.
//
// Thread-safety: an object belongs to one thread at a time (the operation's steps run one
// at a time). SetImageComment may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/ModelDefs.h"
#include "platform/File.h"

namespace kz {

inline constexpr std::size_t kImageHeaderSize = 1024;
inline constexpr std::size_t kImageDescriptorOffset = 272;
inline constexpr std::size_t kImageDescriptorSize = 512;
inline constexpr std::size_t kImageModelNameSize = 32;
inline constexpr std::size_t kImageCommentSize = 66;
inline constexpr std::size_t kImageAreaRecordSize = 16;
inline constexpr std::size_t kImageMaxAreas = kMaxMemAreas;
inline constexpr std::uint16_t kImageHeaderKind = 1;
inline constexpr std::uint16_t kImageHeaderFormat = 2;

// The file a backup into target writes until it is complete, and the one a resumed backup
// goes on from: "<target>.partial" beside it.
inline std::string PartialImagePath(const std::string& target) {
    return target + ".partial";
}

class MemImageFile {
  public:
    MemImageFile();

    // The file the data calls work on. LoadHeader sets it too.
    void SetFileName(std::string path) {
        CloseFiles();
        m_csFileName = std::move(path);
    }
    const std::string& FileName() const { return m_csFileName; }

    // ---- File access ----

    // Remembers path as the file name (also when loading fails) and reads the first 1024
    // bytes of the file into the header and the descriptor. False, with both buffers
    // unchanged, when the file cannot be opened, is not a regular file (a FIFO or a device
    // is refused without waiting on it) or is shorter than 1024 bytes.
    bool LoadHeader(const std::string& path);
    // Reads count data bytes at data offset offset (file offset 1024 + offset) of the
    // remembered file into buffer. True only when exactly count bytes were read; false
    // also when the file cannot be opened, is not a regular file or is shorter than 1024
    // bytes. Offsets are 64-bit all the way to the read. The file stays open for the next
    // read; its length is taken afresh on every call, so a file cut short meanwhile fails.
    bool ReadImageData(std::uint64_t offset, void* buffer, std::size_t count) const;
    bool ReadImageData(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
        return ReadImageData(offset, buffer.data(), buffer.size());
    }
    // Creates (truncates) the remembered file and writes the 1024-byte header with the
    // descriptor copied in. False when the file cannot be created or written completely.
    bool WriteHeader();
    // Appends count bytes to the partial image while one is open (through its descriptor
    // only, never by name), else to the remembered file (created when missing). False when
    // the file cannot be opened, is a symbolic link or not a regular file, or the bytes
    // cannot all be written; the file is then cut back to its former length, so a failed
    // append leaves no partial packet behind.
    // The remembered file stays open between appends (a backup appends one packet per
    // call); any call that names or rewrites the file, or CloseAppend(), closes it.
    bool AppendImageData(const void* buffer, std::size_t count) const;
    bool AppendImageData(std::span<const std::uint8_t> buffer) const {
        return AppendImageData(buffer.data(), buffer.size());
    }
    // Replaces the comment of the image at path: clears the 66-byte field and stores at
    // most 66 characters of text, rewriting the whole header in one write. False when the
    // file is missing, shorter than 1024 bytes, or the header cannot be written back.
    static bool SetImageComment(const std::string& path, std::string_view text);

    // The start of a backup's header: creates the missing folders of path, then keeps the
    // header of an image already at path (header kind, model name and every field the
    // backup does not set afterwards) or, when there is none (or it is shorter than 1024
    // bytes, or not a regular file itself: a symbolic link is not followed), sets header
    // kind 1 and modelName. Remembers path. True when an existing
    // header was kept.
    bool StartBackupHeader(const std::string& path, std::string_view modelName);

    // ---- Header fields ----

    void SetHeaderKind(std::uint16_t kind);
    std::uint16_t HeaderKind() const;
    void SetFromSize(std::uint32_t size);
    std::uint32_t FromSize() const;
    void SetSramSize(std::uint32_t size);
    std::uint32_t SramSize() const;
    void SetHeaderFormat(std::uint16_t format);
    std::uint16_t HeaderFormat() const;
    // True when the descriptor's area table is usable (header format 2).
    bool HasAreaTable() const { return HeaderFormat() == kImageHeaderFormat; }
    // Clears the 32-byte field and stores at most 32 characters.
    void SetModelName(std::string_view name);

    // ---- Descriptor fields ----

    // Version "10".
    void SetDescriptorVersion();
    // The two version characters as stored (cut at a zero byte).
    std::string DescriptorVersion() const;
    // Longer than 2 characters: characters 3-4 go to the low part, 1-2 to the high part.
    // Otherwise the text (at most 2 characters) goes to the low part and the high part is
    // zero.
    void SetCoreID(std::string_view text);
    // At most 2 characters; zero bytes for an empty text.
    void SetIOCode(std::string_view text);
    // Clears the 66-byte field and stores at most 66 characters.
    void SetComment(std::string_view text);
    void SetUnit(std::uint32_t unit);
    std::uint32_t Unit() const;
    void SetSignature(std::uint16_t signature);
    std::uint16_t Signature() const;
    void SetAreaCount(std::int16_t count);
    std::int16_t AreaCount() const;
    // Record index (0..23) as stored; index 24 and above are ignored / read as empty.
    void SetArea(std::size_t index, const MemArea& area);
    MemArea Area(std::size_t index) const;
    // Writes the area count and one record per area, at most 24 (false when there were
    // more; the first 24 are written). FROM records store verify size 0: the image keeps
    // a verify size for SRAM only. Records past the count keep their bytes.
    bool SetAreas(std::span<const MemArea> areas);
    // The records of the area table; the count is taken as 0 when negative and as 24
    // when larger, so a damaged count never reads past the descriptor.
    std::vector<MemArea> Areas() const;

    // The number of data bytes the header promises: an area of size S occupies S bytes
    // when S is at least the unit U and U bytes when it is smaller (the backup moves at
    // least one whole unit per area). Restore and verify compare it with the file's data
    // length before anything is written to a panel.
    std::uint64_t DataSize() const;

    // ---- Reading rules ----

    // Core ID: when the high part is set, high part then low part, else the low part,
    // read as hex; 0 when no hex digit is there.
    std::uint32_t GetImageCoreID() const;
    // The same characters as text ("1234", "34"; cut at the first zero byte).
    std::string GetImageCoreIDText() const;
    // The I/O code characters read as hex, 0 when empty.
    std::uint32_t GetImageIOCode() const;
    std::string GetImageIOCodeText() const;
    // The 66-byte comment and the 32-byte model name, each up to the first zero byte.
    std::string GetImageComment() const;
    std::string GetImageModelName() const;

    // The 1024 bytes WriteHeader would write now (the descriptor copied in).
    std::array<std::uint8_t, kImageHeaderSize> HeaderBytes() const;
    std::span<const std::uint8_t, kImageDescriptorSize> Descriptor() const { return m_descriptor; }

    // Closes the file kept open by AppendImageData, if any.
    void CloseAppend() const { m_appendFile.Reset(); }
    // Closes the files kept open by AppendImageData and ReadImageData.
    void CloseFiles() const {
        m_appendFile.Reset();
        m_readFile.Reset();
    }

    // ---- The partial image of a backup ----
    //
    // A backup writes its image to a partial file beside the target and renames it over the
    // target only when it is complete. The partial file belongs to the run that created it:
    // it is created exclusively (a link there is never followed) and its descriptor holds an
    // advisory lock (platform::File::TryLock) until the run lets it go, so that another run for the same
    // target sees it is being written and leaves it alone. Every append goes through that
    // descriptor, and the commit renames the name only while it still leads to that file.

    enum class PartialStart {
        Created,   // made afresh with the header (a leftover of an earlier run replaced)
        Busy,      // another run is writing a file of that name
        NotPlain,  // something other than a regular file has the name (a link, a folder)
        Failed,    // the file system refused
    };
    // Creates the partial image at path with the header (the descriptor copied in) and
    // remembers path. A regular file left there by an earlier run is removed first, but only
    // when its lock can be taken; a locked one is another run's (Busy). A run that loses the
    // race for the name to another one is refused (Busy), never retried.
    PartialStart CreatePartial(const std::string& path);
    // Takes over the partial image an earlier run left at path, to go on where it ended. It
    // is opened without following a link and locked (Busy when a run holds its lock), and
    // its header must be the one this object would write, the comment aside: the comment is
    // taken from the file, so the finished image is the one an uninterrupted run would have
    // written. Anything else leaves the file as it is (Missing, NotPlain, HeaderDiffers,
    // Failed). Then the file keeps keep(data length) bytes of its data, the rest is cut off,
    // the next append goes after them, and *kept is that length.
    enum class PartialResume { Resumed, Missing, Busy, NotPlain, HeaderDiffers, Failed };
    PartialResume ResumePartial(const std::string& path,
                                const std::function<std::uint64_t(std::uint64_t)>& keep,
                                std::uint64_t* kept);
    // True while the partial image of this object is open (created and not yet released).
    bool PartialOpen() const { return m_partialFile.Valid(); }
    // The path of the partial image last created (empty before, and after a failed start).
    const std::string& PartialPath() const { return m_csPartialPath; }
    // True while path still names the partial image this object created and holds open.
    bool PartialIsOurs() const;

    // The end of a backup: renames the partial image over target when the partial path still
    // names the file this object created, it holds exactly the header and dataBytes, and
    // target is a regular file or absent. Anything else leaves both files as they are. The
    // partial image stays open (and locked) until ReleasePartial.
    enum class Replace { Done, Incomplete, TargetNotRegular, NotOurs, Failed };
    Replace CommitPartial(const std::string& target, std::uint64_t dataBytes);
    // Closes the partial image's descriptor and so gives up its lock; the file stays where
    // it is (the data a run read before it ended early).
    void ReleasePartial();
    // Removes the partial image when its path still names it, then releases it.
    void DiscardPartial();

  private:
    bool WritePartialHeader();

    std::string m_csFileName;
    mutable platform::File m_appendFile;        // open while appends go on
    mutable std::uint64_t m_nAppendLength = 0;  // the file's length after the last append
    mutable platform::File m_readFile;          // open while data reads go on
    // The partial image this object created: its descriptor (holding the lock) and its path.
    mutable platform::File m_partialFile;
    std::string m_csPartialPath;
    std::array<std::uint8_t, kImageHeaderSize> m_header{};
    std::array<std::uint8_t, kImageDescriptorSize> m_descriptor{};
};

}  // namespace kz
