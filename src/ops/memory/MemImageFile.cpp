#include "ops/memory/MemImageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/IniFile.h"
#include "diag/Trace.h"
#include "platform/FileFinder.h"
#include "platform/UniqueFd.h"

namespace kz {

namespace {

// Header offsets.
constexpr std::size_t kHeaderKindAt = 0;
constexpr std::size_t kFromSizeAt = 4;
constexpr std::size_t kSramSizeAt = 8;
constexpr std::size_t kHeaderFormatAt = 12;
constexpr std::size_t kModelNameAt = 32;

// Descriptor offsets.
constexpr std::size_t kVersionAt = 0;
constexpr std::size_t kCoreIdLowAt = 2;
constexpr std::size_t kIoCodeAt = 4;
constexpr std::size_t kCommentAt = 6;
constexpr std::size_t kUnitAt = 72;
constexpr std::size_t kCoreIdHighAt = 76;
constexpr std::size_t kSignatureAt = 78;
constexpr std::size_t kAreaCountAt = 126;
constexpr std::size_t kAreasAt = 128;

// Area record offsets.
constexpr std::size_t kAreaTypeAt = 0;
constexpr std::size_t kAreaStartAt = 2;
constexpr std::size_t kAreaSizeAt = 6;
constexpr std::size_t kAreaVerifyAt = 10;

static_assert(kAreasAt + kImageMaxAreas * kImageAreaRecordSize <= kImageDescriptorSize);
static_assert(kImageDescriptorOffset + kImageDescriptorSize <= kImageHeaderSize);

void Put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::uint32_t Get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

const char* AsChars(const std::uint8_t* bytes) {
    return reinterpret_cast<const char*>(bytes);
}

// Clears a text field of size bytes and copies at most size characters into it.
void PutText(std::uint8_t* at, std::size_t size, std::string_view text) {
    std::memset(at, 0, size);
    std::copy_n(text.begin(), std::min(size, text.size()), at);
}

// A text field of size bytes, up to its first zero byte.
std::string GetText(const std::uint8_t* at, std::size_t size) {
    const auto* end = std::find(at, at + size, std::uint8_t{0});
    return std::string(AsChars(at), static_cast<std::size_t>(end - at));
}

std::uint32_t ReadHex(const std::string& text) {
    std::uint32_t value = 0;
    IniScanHex(text, value);
    return value;
}

// Opens path with flags and accepts it only when it is a regular file; its length goes to
// length. O_NONBLOCK keeps the open of a FIFO or a device from waiting for a peer: such a
// file is refused right after the open.
platform::UniqueFd OpenRegular(const std::string& path, int flags, std::uint64_t& length) {
    platform::UniqueFd file(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!file) {
        return file;
    }
    const int fd = file.Get();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.Reset();
        errno = EINVAL;
        return file;
    }
    // Regular files never block; the flag is dropped so that writes behave as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    length = static_cast<std::uint64_t>(st.st_size);
    return file;
}

// Reads count bytes at offset; true only when all of them were read.
bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t count) {
    auto* at = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(fd, at, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes count bytes at the file position (or its end for O_APPEND); true when all were
// written.
bool WriteAll(int fd, const void* buffer, std::size_t count) {
    const auto* at = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::write(fd, at, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes count bytes at offset; true when all were written.
bool WriteAllAt(int fd, std::uint64_t offset, const void* buffer, std::size_t count) {
    const auto* at = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, at, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// True when path, looked at without following a link, is the regular file open as fd; the
// file's status goes to fdStat.
bool IsFileOf(int fd, const std::string& path, struct stat& fdStat) {
    struct stat byName {};
    return ::fstat(fd, &fdStat) == 0 && ::lstat(path.c_str(), &byName) == 0 &&
           S_ISREG(byName.st_mode) && byName.st_dev == fdStat.st_dev &&
           byName.st_ino == fdStat.st_ino;
}

enum class Lock { Taken, Busy, Unsupported };

// The exclusive advisory lock of fd, without waiting. A file system without such locks
// (some network and user-space ones) answers with an error other than EWOULDBLOCK.
Lock TryLock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return Lock::Taken;
        }
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? Lock::Busy : Lock::Unsupported;
        }
    }
}

}  // namespace

MemImageFile::MemImageFile() = default;

// ---- File access ----

bool MemImageFile::LoadHeader(const std::string& path) {
    CloseFiles();
    m_csFileName = path;
    std::uint64_t length = 0;
    const platform::UniqueFd fd(OpenRegular(path, O_RDONLY, length));
    if (!fd.Valid() || length < kImageHeaderSize) {
        return false;
    }
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!ReadAt(fd.Get(), 0, header.data(), header.size())) {
        return false;
    }
    m_header = header;
    std::copy_n(m_header.begin() + kImageDescriptorOffset, kImageDescriptorSize,
                m_descriptor.begin());
    return true;
}

bool MemImageFile::ReadImageData(std::uint64_t offset, void* buffer, std::size_t count) const {
    std::uint64_t length = 0;
    if (!m_readFd.Valid()) {
        // A verify or restore reads the image one packet at a time: the open, the check
        // that it is a regular file and the close are paid once, not per packet.
        m_readFd = OpenRegular(m_csFileName, O_RDONLY, length);
        if (!m_readFd.Valid()) {
            return false;
        }
    } else {
        struct stat st {};
        if (::fstat(m_readFd.Get(), &st) != 0) {
            m_readFd.Reset();
            return false;
        }
        length = static_cast<std::uint64_t>(st.st_size);
    }
    if (length < kImageHeaderSize) {
        return false;
    }
    // Checked here so that the read below never goes past the end or overflows.
    const std::uint64_t available = length - kImageHeaderSize;
    if (offset > available || count > available - offset) {
        return false;
    }
    return count == 0 || ReadAt(m_readFd.Get(), kImageHeaderSize + offset, buffer, count);
}

bool MemImageFile::WriteHeader() {
    CloseFiles();
    std::copy(m_descriptor.begin(), m_descriptor.end(), m_header.begin() + kImageDescriptorOffset);
    std::uint64_t length = 0;
    const platform::UniqueFd fd(OpenRegular(m_csFileName, O_WRONLY | O_CREAT | O_TRUNC, length));
    return fd.Valid() && WriteAll(fd.Get(), m_header.data(), m_header.size());
}

bool MemImageFile::AppendImageData(const void* buffer, std::size_t count) const {
    if (m_partialFd.Valid()) {
        // Positioned writes: a packet cut short is cut off and the next one goes to where
        // it belongs.
        if (!WriteAllAt(m_partialFd.Get(), m_nAppendLength, buffer, count)) {
            if (::ftruncate(m_partialFd.Get(), static_cast<off_t>(m_nAppendLength)) != 0) {
                TraceMessage("KZmnt", "MemImageFile: the file could not be cut back\n");
            }
            return false;
        }
        m_nAppendLength += count;
        return true;
    }
    if (!m_appendFd.Valid()) {
        m_appendFd =
            OpenRegular(m_csFileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, m_nAppendLength);
        if (!m_appendFd.Valid()) {
            return false;
        }
    }
    if (!WriteAll(m_appendFd.Get(), buffer, count)) {
        // A full disk can leave part of the packet behind; cut it off so that the file
        // never holds a packet that was not stored completely.
        if (::ftruncate(m_appendFd.Get(), static_cast<off_t>(m_nAppendLength)) != 0) {
            TraceMessage("KZmnt", "MemImageFile: the file could not be cut back\n");
        }
        CloseAppend();
        return false;
    }
    m_nAppendLength += count;
    return true;
}

MemImageFile::PartialStart MemImageFile::CreatePartial(const std::string& path) {
    CloseFiles();
    ReleasePartial();
    m_csFileName = path;
    m_csPartialPath.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            return PartialStart::NotPlain;
        }
        // A file of that name is an earlier run's leftover only when nobody holds its lock.
        // It is opened for writing where that is allowed: some network file systems grant
        // an exclusive lock only then. Nothing is written to it.
        platform::UniqueFd old(
            ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!old && (errno == EACCES || errno == EROFS)) {
            old.Reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        }
        if (!old) {
            if (errno == ELOOP) {
                return PartialStart::NotPlain;
            }
            if (errno != ENOENT) {
                return PartialStart::Failed;
            }
            // Gone meanwhile: the exclusive creation below decides who makes it.
        } else {
            if (TryLock(old.Get()) == Lock::Busy) {
                return PartialStart::Busy;
            }
            // Only the file still under the name is removed; a name that now leads elsewhere
            // was taken over by another run.
            if (!IsFileOf(old.Get(), path, st)) {
                return PartialStart::Busy;
            }
            if (::unlink(path.c_str()) != 0) {
                return PartialStart::Failed;
            }
        }
    }
    // Whoever creates the name first owns it: a run that finds the name taken here has lost
    // the race to another run and is refused, never sent round again.
    platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        if (errno == EEXIST) {
            return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? PartialStart::NotPlain
                                                                           : PartialStart::Busy;
        }
        return errno == ELOOP ? PartialStart::NotPlain : PartialStart::Failed;
    }
    // Between the creation and the lock another run may have taken the new file for a
    // leftover: it holds the lock or has removed the file, and this run keeps away from it.
    // Without lock support in the file system the run goes on unlocked; the commit still
    // renames only the file this run created.
    if (TryLock(fd.Get()) == Lock::Busy || !IsFileOf(fd.Get(), path, st)) {
        return PartialStart::Busy;
    }
    m_partialFd = std::move(fd);
    m_csPartialPath = path;
    if (!WritePartialHeader()) {
        const int error = errno;
        DiscardPartial();
        m_csPartialPath.clear();
        errno = error;
        return PartialStart::Failed;
    }
    return PartialStart::Created;
}

MemImageFile::PartialResume MemImageFile::ResumePartial(
    const std::string& path, const std::function<std::uint64_t(std::uint64_t)>& keep,
    std::uint64_t* kept) {
    CloseFiles();
    ReleasePartial();
    m_csFileName = path;
    m_csPartialPath.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? PartialResume::Missing : PartialResume::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        return PartialResume::NotPlain;
    }
    platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return errno == ELOOP ? PartialResume::NotPlain : PartialResume::Failed;
    }
    if (TryLock(fd.Get()) == Lock::Busy || !IsFileOf(fd.Get(), path, st)) {
        return PartialResume::Busy;
    }
    std::array<std::uint8_t, kImageHeaderSize> found{};
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (length < kImageHeaderSize || !ReadAt(fd.Get(), 0, found.data(), found.size())) {
        return PartialResume::HeaderDiffers;
    }
    std::array<std::uint8_t, kImageHeaderSize> mine = m_header;
    std::copy(m_descriptor.begin(), m_descriptor.end(), mine.begin() + kImageDescriptorOffset);
    const std::size_t comment = kImageDescriptorOffset + kCommentAt;
    std::copy_n(found.begin() + comment, kImageCommentSize, mine.begin() + comment);
    if (mine != found) {
        return PartialResume::HeaderDiffers;
    }
    const std::uint64_t data = std::min(keep(length - kImageHeaderSize), length - kImageHeaderSize);
    if (::ftruncate(fd.Get(), static_cast<off_t>(kImageHeaderSize + data)) != 0) {
        return PartialResume::Failed;
    }
    m_header = found;
    std::copy_n(found.begin() + kImageDescriptorOffset, kImageDescriptorSize, m_descriptor.begin());
    m_partialFd = std::move(fd);
    m_csPartialPath = path;
    m_nAppendLength = kImageHeaderSize + data;
    *kept = data;
    return PartialResume::Resumed;
}

bool MemImageFile::WritePartialHeader() {
    std::copy(m_descriptor.begin(), m_descriptor.end(), m_header.begin() + kImageDescriptorOffset);
    m_nAppendLength = 0;
    if (!WriteAllAt(m_partialFd.Get(), 0, m_header.data(), m_header.size())) {
        return false;
    }
    m_nAppendLength = kImageHeaderSize;
    return true;
}

bool MemImageFile::PartialIsOurs() const {
    struct stat st {};
    return m_partialFd.Valid() && IsFileOf(m_partialFd.Get(), m_csPartialPath, st);
}

MemImageFile::Replace MemImageFile::CommitPartial(const std::string& target,
                                                  std::uint64_t dataBytes) {
    CloseFiles();
    if (!m_partialFd.Valid()) {
        return Replace::Failed;
    }
    // The name must still lead to the file this run wrote: a file put there by anyone else
    // is never given the target's name.
    if (!PartialIsOurs()) {
        return Replace::NotOurs;
    }
    struct stat st {};
    if (::fstat(m_partialFd.Get(), &st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) != kImageHeaderSize + dataBytes) {
        return Replace::Incomplete;
    }
    // Checked at the very end: the target may have been replaced while data moved.
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return Replace::TargetNotRegular;
    }
    return std::rename(m_csPartialPath.c_str(), target.c_str()) == 0 ? Replace::Done
                                                                     : Replace::Failed;
}

void MemImageFile::ReleasePartial() {
    m_partialFd.Reset();
}

void MemImageFile::DiscardPartial() {
    if (PartialIsOurs()) {
        ::unlink(m_csPartialPath.c_str());
    }
    ReleasePartial();
}

bool MemImageFile::SetImageComment(const std::string& path, std::string_view text) {
    std::uint64_t length = 0;
    const platform::UniqueFd fd(OpenRegular(path, O_RDWR, length));
    if (!fd.Valid() || length < kImageHeaderSize) {
        return false;
    }
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!ReadAt(fd.Get(), 0, header.data(), header.size())) {
        return false;
    }
    PutText(header.data() + kImageDescriptorOffset + kCommentAt, kImageCommentSize, text);
    // The whole header in one write: it replaces bytes that already exist, so it needs no
    // new space and cannot end up half written by a full disk.
    return ::pwrite(fd.Get(), header.data(), header.size(), 0) ==
           static_cast<ssize_t>(header.size());
}

bool MemImageFile::StartBackupHeader(const std::string& path, std::string_view modelName) {
    CloseFiles();
    platform::CreateFolderPath(path);
    // Only a regular file at the target itself gives its header; a link is never followed.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && LoadHeader(path)) {
        return true;
    }
    m_csFileName = path;
    SetHeaderKind(kImageHeaderKind);
    SetModelName(modelName);
    return false;
}

// ---- Header fields ----

void MemImageFile::SetHeaderKind(std::uint16_t kind) {
    Put16(&m_header[kHeaderKindAt], kind);
}
std::uint16_t MemImageFile::HeaderKind() const {
    return Get16(&m_header[kHeaderKindAt]);
}
void MemImageFile::SetFromSize(std::uint32_t size) {
    Put32(&m_header[kFromSizeAt], size);
}
std::uint32_t MemImageFile::FromSize() const {
    return Get32(&m_header[kFromSizeAt]);
}
void MemImageFile::SetSramSize(std::uint32_t size) {
    Put32(&m_header[kSramSizeAt], size);
}
std::uint32_t MemImageFile::SramSize() const {
    return Get32(&m_header[kSramSizeAt]);
}

void MemImageFile::SetHeaderFormat(std::uint16_t format) {
    Put16(&m_header[kHeaderFormatAt], format);
}

std::uint16_t MemImageFile::HeaderFormat() const {
    return Get16(&m_header[kHeaderFormatAt]);
}

void MemImageFile::SetModelName(std::string_view name) {
    PutText(&m_header[kModelNameAt], kImageModelNameSize, name);
}

// ---- Descriptor fields ----

void MemImageFile::SetDescriptorVersion() {
    m_descriptor[kVersionAt] = '1';
    m_descriptor[kVersionAt + 1] = '0';
}

std::string MemImageFile::DescriptorVersion() const {
    return GetText(&m_descriptor[kVersionAt], 2);
}

void MemImageFile::SetCoreID(std::string_view text) {
    if (text.size() > 2) {
        PutText(&m_descriptor[kCoreIdLowAt], 2, text.substr(2, 2));
        PutText(&m_descriptor[kCoreIdHighAt], 2, text.substr(0, 2));
    } else {
        PutText(&m_descriptor[kCoreIdLowAt], 2, text);
        PutText(&m_descriptor[kCoreIdHighAt], 2, {});
    }
}

void MemImageFile::SetIOCode(std::string_view text) {
    PutText(&m_descriptor[kIoCodeAt], 2, text);
}

void MemImageFile::SetComment(std::string_view text) {
    PutText(&m_descriptor[kCommentAt], kImageCommentSize, text);
}

void MemImageFile::SetUnit(std::uint32_t unit) {
    Put32(&m_descriptor[kUnitAt], unit);
}
std::uint32_t MemImageFile::Unit() const {
    return Get32(&m_descriptor[kUnitAt]);
}

void MemImageFile::SetSignature(std::uint16_t signature) {
    Put16(&m_descriptor[kSignatureAt], signature);
}

std::uint16_t MemImageFile::Signature() const {
    return Get16(&m_descriptor[kSignatureAt]);
}

void MemImageFile::SetAreaCount(std::int16_t count) {
    Put16(&m_descriptor[kAreaCountAt], static_cast<std::uint16_t>(count));
}

std::int16_t MemImageFile::AreaCount() const {
    return static_cast<std::int16_t>(Get16(&m_descriptor[kAreaCountAt]));
}

void MemImageFile::SetArea(std::size_t index, const MemArea& area) {
    if (index >= kImageMaxAreas) {
        return;
    }
    std::uint8_t* record = &m_descriptor[kAreasAt + index * kImageAreaRecordSize];
    Put16(record + kAreaTypeAt, static_cast<std::uint16_t>(area.type));
    Put32(record + kAreaStartAt, area.start);
    Put32(record + kAreaSizeAt, area.size);
    Put32(record + kAreaVerifyAt, area.verifySize);
}

MemArea MemImageFile::Area(std::size_t index) const {
    MemArea area;
    if (index >= kImageMaxAreas) {
        return area;
    }
    const std::uint8_t* record = &m_descriptor[kAreasAt + index * kImageAreaRecordSize];
    area.type = Get16(record + kAreaTypeAt);
    area.start = Get32(record + kAreaStartAt);
    area.size = Get32(record + kAreaSizeAt);
    area.verifySize = Get32(record + kAreaVerifyAt);
    return area;
}

bool MemImageFile::SetAreas(std::span<const MemArea> areas) {
    const std::size_t count = std::min(areas.size(), kImageMaxAreas);
    SetAreaCount(static_cast<std::int16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        MemArea record = areas[i];
        if (record.type != kAreaSram) {
            record.verifySize = 0;
        }
        SetArea(i, record);
    }
    return areas.size() <= kImageMaxAreas;
}

std::vector<MemArea> MemImageFile::Areas() const {
    const int stored = AreaCount();
    const std::size_t count =
        std::min(static_cast<std::size_t>(std::max(stored, 0)), kImageMaxAreas);
    std::vector<MemArea> areas;
    areas.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        areas.push_back(Area(i));
    }
    return areas;
}

std::uint64_t MemImageFile::DataSize() const {
    const std::uint32_t unit = Unit();
    std::uint64_t total = 0;
    for (const MemArea& area : Areas()) {
        total += std::max(area.size, unit);
    }
    return total;
}

// ---- Reading rules ----

std::string MemImageFile::GetImageCoreIDText() const {
    std::string text;
    if (m_descriptor[kCoreIdHighAt] != 0) {
        text = GetText(&m_descriptor[kCoreIdHighAt], 2);
        // The low part follows only when the high part is complete; a zero byte ends the
        // text as it would end a C string.
        if (text.size() == 2) {
            text += GetText(&m_descriptor[kCoreIdLowAt], 2);
        }
    } else {
        text = GetText(&m_descriptor[kCoreIdLowAt], 2);
    }
    return text;
}

std::uint32_t MemImageFile::GetImageCoreID() const {
    return ReadHex(GetImageCoreIDText());
}

std::string MemImageFile::GetImageIOCodeText() const {
    return GetText(&m_descriptor[kIoCodeAt], 2);
}

std::uint32_t MemImageFile::GetImageIOCode() const {
    return ReadHex(GetImageIOCodeText());
}

std::string MemImageFile::GetImageComment() const {
    return GetText(&m_descriptor[kCommentAt], kImageCommentSize);
}

std::string MemImageFile::GetImageModelName() const {
    return GetText(&m_header[kModelNameAt], kImageModelNameSize);
}

std::array<std::uint8_t, kImageHeaderSize> MemImageFile::HeaderBytes() const {
    std::array<std::uint8_t, kImageHeaderSize> bytes = m_header;
    std::copy(m_descriptor.begin(), m_descriptor.end(), bytes.begin() + kImageDescriptorOffset);
    return bytes;
}

}  // namespace kz
