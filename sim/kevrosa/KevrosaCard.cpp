// libKevrosa's card files (see KevrosaCard.h):
//
//   card read:  answer ─► every name checked ─┬─ malformed answer: kCauseBadAnswer, nothing written
//                                             ├─ usable name: stored (temporary file, rename)
//                                             └─ other name: left out, reported after the list
//   card write: PC file (regular, not a link) ─► name prefix + five digits + its extension
#include "sim/kevrosa/KevrosaCard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace kz::kevrosa::library {

namespace {

// Reports the names a card read left out: the notice in m_dwErrorCode, then the header and
// as many names as fit in the list after the stored files' entries.
void ReportLeftOut(kz::lan::MtoMSocket* s, kz::lan::KzFileList* list, std::size_t room,
                   std::size_t stored, const std::vector<std::string>& names, std::uint32_t total) {
    kz::lan::SetErrorCode(s, kz::lan::kNoticeNamesLeftOut);
    if (list == nullptr || stored >= room) {
        return;
    }
    const std::size_t shown = std::min(names.size(), room - stored - 1);
    kz::lan::KzLeftOutHeader header;
    header.mark = kz::lan::kNoticeNamesLeftOut;
    header.total = total;
    header.shown = static_cast<std::uint32_t>(shown);
    std::memcpy(list[stored].bytes, &header, sizeof header);
    for (std::size_t i = 0; i < shown; ++i) {
        list[stored + 1 + i] = kz::lan::EncodeLeftOutName(names[i]);
    }
}

}  // namespace

std::string PrefixText(std::uint32_t prefix) {
    const char a = static_cast<char>(prefix & 0xFF);
    const char b = static_cast<char>((prefix >> 8) & 0xFF);
    // Card prefixes are upper-case letters and digits ("ZI", "Z4").
    const auto upper = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
    if ((prefix >> 16) != 0 || !upper(a) || !upper(b)) {
        return {};
    }
    return std::string{a, b};
}

bool IsPlainExtension(const std::string& ext) {
    return ext.size() >= 2 && ext.size() <= 9 && ext[0] == '.' &&
           std::all_of(ext.begin() + 1, ext.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

long CardNumber(const std::string& name, const std::string& prefix) {
    if (name.size() < 7 || name.compare(0, 2, prefix) != 0) {
        return -1;
    }
    long number = 0;
    for (std::size_t i = 2; i < 7; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    const std::string rest = name.substr(7);
    if (!rest.empty() && !IsPlainExtension(rest)) {
        return -1;
    }
    return number;
}

std::string CardExtensionOf(const std::string& path) {
    // A Windows caller separates folders with backslashes, so both end a folder's name.
    const auto slash = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        ext = path.substr(dot);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    return ext;
}

std::uint32_t StoreCardFiles(const CardRead& read, Reader& r) {
    struct File {
        long number;
        const std::uint8_t* data;
        std::uint32_t size;
    };
    std::vector<File> files;
    std::set<long> numbers;
    // Names that cannot be used are left out; the first of them are reported.
    std::vector<std::string> leftOut;
    std::uint32_t leftOutTotal = 0;
    const std::uint32_t n = r.U32();
    for (std::uint32_t i = 0; i < n && !r.Failed(); ++i) {
        const std::uint16_t nameLength = r.U16();
        const std::uint8_t* nameBytes = r.Take(nameLength);
        const std::uint32_t size = r.U32();
        const std::uint8_t* data = r.Take(size);
        if (r.Failed()) {
            break;
        }
        const std::string name(reinterpret_cast<const char*>(nameBytes), nameLength);
        // Everything is checked before the first file is written.
        const long number = CardNumber(name, read.prefix);
        if (number < read.first || number > read.last || !numbers.insert(number).second) {
            ++leftOutTotal;
            if (leftOut.size() < read.room) {
                leftOut.push_back(name.substr(0, 255));  // the length an entry can say
            }
            continue;
        }
        files.push_back({number, data, size});
    }
    if (r.Failed() || r.Remaining() != 0) {
        return kCauseBadAnswer;
    }
    int stored = 0;
    for (const File& f : files) {
        char name[16];
        std::snprintf(name, sizeof name, "%s%05ld", read.prefix.c_str(), f.number);
        if (!StoreFile(read.folder, name + read.extension, f.data, f.size)) {
            *read.count = stored;
            return kz::lan::kErrorPcFileWrite;
        }
        if (read.list != nullptr && static_cast<std::size_t>(stored) < read.room) {
            const auto number = static_cast<std::int32_t>(f.number);
            std::memcpy(read.list[stored].bytes, &number, 4);
            std::memcpy(read.list[stored].bytes + 4, &f.size, 4);
        }
        ++stored;
    }
    *read.count = stored;
    if (leftOutTotal > 0) {
        ReportLeftOut(read.socket, read.list, read.room, static_cast<std::size_t>(stored), leftOut,
                      leftOutTotal);
    }
    return 0;
}

}  // namespace kz::kevrosa::library
