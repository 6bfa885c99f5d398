#include "ops/memory/MemImageFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/IniFile.h"
#include "diag/Trace.h"
#include "platform/File.h"
#include "platform/FileFinder.h"

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

using platform::File;
using platform::FileError;
using platform::PathKind;

// Opens path in mode and accepts it only when it is a regular file (a FIFO or a device is
// refused without waiting on it); its length goes to length.
File OpenRegular(const std::string& path, File::Mode mode, std::uint64_t& length) {
    File file = File::Open(path, mode);
    if (file.Valid() && !file.Size(length)) {
        file.Reset();
    }
    return file;
}

// Cuts a file back to length after a write that may have stored part of a packet.
void CutBack(File& file, std::uint64_t length) {
    if (!file.Truncate(length)) {
        TraceMessage("KZmnt", "MemImageFile: the file could not be cut back\n");
    }
}

}  // namespace

MemImageFile::MemImageFile() = default;

// ---- File access ----

bool MemImageFile::LoadHeader(const std::string& path) {
    CloseFiles();
    m_csFileName = path;
    std::uint64_t length = 0;
    const File file(OpenRegular(path, File::Mode::Read, length));
    if (!file.Valid() || length < kImageHeaderSize) {
        return false;
    }
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!file.ReadAt(0, header.data(), header.size())) {
        return false;
    }
    m_header = header;
    std::copy_n(m_header.begin() + kImageDescriptorOffset, kImageDescriptorSize,
                m_descriptor.begin());
    return true;
}

bool MemImageFile::ReadImageData(std::uint64_t offset, void* buffer, std::size_t count) const {
    std::uint64_t length = 0;
    if (!m_readFile.Valid()) {
        // A verify or restore reads the image one packet at a time: the open, the check
        // that it is a regular file and the close are paid once, not per packet.
        m_readFile = OpenRegular(m_csFileName, File::Mode::Read, length);
        if (!m_readFile.Valid()) {
            return false;
        }
    } else if (!m_readFile.Size(length)) {
        m_readFile.Reset();
        return false;
    }
    if (length < kImageHeaderSize) {
        return false;
    }
    // Checked here so that the read below never goes past the end or overflows.
    const std::uint64_t available = length - kImageHeaderSize;
    if (offset > available || count > available - offset) {
        return false;
    }
    return count == 0 || m_readFile.ReadAt(kImageHeaderSize + offset, buffer, count);
}

bool MemImageFile::WriteHeader() {
    CloseFiles();
    std::copy(m_descriptor.begin(), m_descriptor.end(), m_header.begin() + kImageDescriptorOffset);
    std::uint64_t length = 0;
    File file(OpenRegular(m_csFileName, File::Mode::CreateTruncate, length));
    return file.Valid() && file.Write(m_header.data(), m_header.size());
}

bool MemImageFile::AppendImageData(const void* buffer, std::size_t count) const {
    if (m_partialFile.Valid()) {
        // Positioned writes: a packet cut short is cut off and the next one goes to where
        // it belongs.
        if (!m_partialFile.WriteAt(m_nAppendLength, buffer, count)) {
            CutBack(m_partialFile, m_nAppendLength);
            return false;
        }
        m_nAppendLength += count;
        return true;
    }
    if (!m_appendFile.Valid()) {
        m_appendFile = OpenRegular(m_csFileName, File::Mode::AppendCreate, m_nAppendLength);
        if (!m_appendFile.Valid()) {
            return false;
        }
    }
    if (!m_appendFile.Write(buffer, count)) {
        // A full disk can leave part of the packet behind; cut it off so that the file
        // never holds a packet that was not stored completely.
        CutBack(m_appendFile, m_nAppendLength);
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
    const PathKind kind = platform::KindOfPath(path);
    if (kind != PathKind::Missing) {
        if (kind != PathKind::Regular) {
            return kind == PathKind::Unknown ? PartialStart::Failed : PartialStart::NotPlain;
        }
        // A file of that name is an earlier run's leftover only when nobody holds its lock.
        // It is opened for writing where that is allowed: some network file systems grant
        // an exclusive lock only then. Nothing is written to it.
        FileError error = FileError::None;
        File old = File::Open(path, File::Mode::WriteNoFollow, &error);
        if (!old.Valid() && error == FileError::Denied) {
            old = File::Open(path, File::Mode::ReadNoFollow, &error);
        }
        if (!old.Valid()) {
            if (error == FileError::Link || error == FileError::NotRegular) {
                return PartialStart::NotPlain;
            }
            if (error != FileError::Missing) {
                return PartialStart::Failed;
            }
            // Gone meanwhile: the exclusive creation below decides who makes it.
        } else {
            if (old.TryLock() == File::Lock::Busy) {
                return PartialStart::Busy;
            }
            // Only the file still under the name is removed; a name that now leads elsewhere
            // was taken over by another run.
            if (!old.IsAt(path)) {
                return PartialStart::Busy;
            }
            if (!platform::RemoveFile(path)) {
                return PartialStart::Failed;
            }
        }
    }
    // Whoever creates the name first owns it: a run that finds the name taken here has lost
    // the race to another run and is refused, never sent round again.
    FileError error = FileError::None;
    File file = File::Open(path, File::Mode::CreateNew, &error);
    if (!file.Valid()) {
        if (error == FileError::Exists) {
            const PathKind now = platform::KindOfPath(path);
            return now != PathKind::Regular && now != PathKind::Missing ? PartialStart::NotPlain
                                                                        : PartialStart::Busy;
        }
        return error == FileError::Link ? PartialStart::NotPlain : PartialStart::Failed;
    }
    // Between the creation and the lock another run may have taken the new file for a
    // leftover: it holds the lock or has removed the file, and this run keeps away from it.
    // Without lock support in the file system the run goes on unlocked; the commit still
    // renames only the file this run created.
    if (file.TryLock() == File::Lock::Busy || !file.IsAt(path)) {
        return PartialStart::Busy;
    }
    m_partialFile = std::move(file);
    m_csPartialPath = path;
    if (!WritePartialHeader()) {
        DiscardPartial();
        m_csPartialPath.clear();
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
    switch (platform::KindOfPath(path)) {
        case PathKind::Regular:
            break;
        case PathKind::Missing:
            return PartialResume::Missing;
        case PathKind::Unknown:
            return PartialResume::Failed;
        default:
            return PartialResume::NotPlain;
    }
    FileError error = FileError::None;
    File file = File::Open(path, File::Mode::ReadWriteNoFollow, &error);
    if (!file.Valid()) {
        return error == FileError::Link || error == FileError::NotRegular ? PartialResume::NotPlain
                                                                          : PartialResume::Failed;
    }
    std::uint64_t length = 0;
    if (file.TryLock() == File::Lock::Busy || !file.IsAt(path)) {
        return PartialResume::Busy;
    }
    std::array<std::uint8_t, kImageHeaderSize> found{};
    if (!file.Size(length) || length < kImageHeaderSize ||
        !file.ReadAt(0, found.data(), found.size())) {
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
    if (!file.Truncate(kImageHeaderSize + data)) {
        return PartialResume::Failed;
    }
    m_header = found;
    std::copy_n(found.begin() + kImageDescriptorOffset, kImageDescriptorSize, m_descriptor.begin());
    m_partialFile = std::move(file);
    m_csPartialPath = path;
    m_nAppendLength = kImageHeaderSize + data;
    *kept = data;
    return PartialResume::Resumed;
}

bool MemImageFile::WritePartialHeader() {
    std::copy(m_descriptor.begin(), m_descriptor.end(), m_header.begin() + kImageDescriptorOffset);
    m_nAppendLength = 0;
    if (!m_partialFile.WriteAt(0, m_header.data(), m_header.size())) {
        return false;
    }
    m_nAppendLength = kImageHeaderSize;
    return true;
}

bool MemImageFile::PartialIsOurs() const {
    return m_partialFile.Valid() && m_partialFile.IsAt(m_csPartialPath);
}

MemImageFile::Replace MemImageFile::CommitPartial(const std::string& target,
                                                  std::uint64_t dataBytes) {
    CloseFiles();
    if (!m_partialFile.Valid()) {
        return Replace::Failed;
    }
    // The name must still lead to the file this run wrote: a file put there by anyone else
    // is never given the target's name.
    if (!PartialIsOurs()) {
        return Replace::NotOurs;
    }
    std::uint64_t length = 0;
    if (!m_partialFile.Size(length) || length != kImageHeaderSize + dataBytes) {
        return Replace::Incomplete;
    }
    // Checked at the very end: the target may have been replaced while data moved.
    const PathKind kind = platform::KindOfPath(target);
    if (kind != PathKind::Missing && kind != PathKind::Regular) {
        return Replace::TargetNotRegular;
    }
    return platform::RenameFile(m_csPartialPath, target) ? Replace::Done : Replace::Failed;
}

void MemImageFile::ReleasePartial() {
    m_partialFile.Reset();
}

void MemImageFile::DiscardPartial() {
    if (PartialIsOurs()) {
        // Removed while still open, so that it is surely this file's name that goes (on
        // Windows the name goes when the handle closes, right below).
        platform::RemoveFile(m_csPartialPath);
    }
    ReleasePartial();
}

bool MemImageFile::SetImageComment(const std::string& path, std::string_view text) {
    std::uint64_t length = 0;
    File file(OpenRegular(path, File::Mode::ReadWrite, length));
    if (!file.Valid() || length < kImageHeaderSize) {
        return false;
    }
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!file.ReadAt(0, header.data(), header.size())) {
        return false;
    }
    PutText(header.data() + kImageDescriptorOffset + kCommentAt, kImageCommentSize, text);
    // The whole header in one write: it replaces bytes that already exist, so it needs no
    // new space and cannot end up half written by a full disk.
    return file.WriteAt(0, header.data(), header.size());
}

bool MemImageFile::StartBackupHeader(const std::string& path, std::string_view modelName) {
    CloseFiles();
    platform::CreateFolderPath(path);
    // Only a regular file at the target itself gives its header; a link is never followed.
    if (platform::KindOfPath(path) == PathKind::Regular && LoadHeader(path)) {
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
