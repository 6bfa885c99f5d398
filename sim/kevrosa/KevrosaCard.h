// libKevrosa's card files: the names a card read may store, storing them inside the folder
// it was given, reading the PC file of a card write, and reporting the names it left out.
//
// A card read stores the files of the range only inside the folder it is given, each under
// prefix + five digits + the extension given, through a temporary file created exclusively
// and renamed. A file whose name from the panel is not its prefix, five digits in the range
// and an optional extension, or whose number came before, is left out and reported as
// lan/MtoMTypes.h describes (kNoticeNamesLeftOut); the others are stored. An answer that is
// malformed as a whole fails the request (kCauseBadAnswer) before anything is written. Card
// writes read only a regular PC file, never through a link, and never wait for a FIFO's
// writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lan/MtoMTypes.h"
#include "sim/kevrosa/KevrosaWire.h"

namespace kz::kevrosa::library {

// The card prefix of a record's prefix word ("ZI" for 0x495A): two upper-case letters or
// digits; empty for any other word.
std::string PrefixText(std::uint32_t prefix);

// "." and one to eight letters or digits.
bool IsPlainExtension(const std::string& ext);

// The number of a card file name from the panel: prefix, five digits, and nothing or an
// extension of letters and digits; -1 for any other name.
long CardNumber(const std::string& name, const std::string& prefix);

// Writes bytes as folder/name through an exclusive temporary file and a rename; neither the
// folder nor the target is followed through a symbolic link.
bool StoreFile(const std::string& folder, const std::string& name, const std::uint8_t* data,
               std::size_t size);

// The whole plain file at path (never through a link); nullopt when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadPcFile(const char* path);

// The card extension of a PC file: its extension in upper case (empty without one); a dot
// in a folder's name (before the last '/' or '\') is not an extension.
std::string CardExtensionOf(const std::string& path);

// One card read: the range, where its files go, and the caller's count and list (room
// entries, one per number of the range), which stay alive until the read completes.
struct CardRead {
    kz::lan::MtoMSocket* socket = nullptr;
    std::string prefix;
    long first = 0;
    long last = 0;
    std::string folder;
    std::string extension;
    int* count = nullptr;
    kz::lan::KzFileList* list = nullptr;
    std::size_t room = 0;
};

// Takes the panel's answer to a card read (the files it holds in the range) and stores them:
// every name is checked before the first file is written. The cause (0: success).
std::uint32_t StoreCardFiles(const CardRead& read, Reader& r);

}  // namespace kz::kevrosa::library
