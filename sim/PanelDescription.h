// What a simulated panel is: identity, password, signatures, I/O registers, the sizes its
// loader reports, the contents of its memory and of its CF card. Tests fill the struct directly;
// the kzpanel-sim program reads it from a description file (format below).
//
// Description file format (plain text, LF or CRLF lines):
//
//   # comment            ("#" or ";" at the start of a line; blank lines are ignored)
//   [panel]
//   coreid     = 8C93      core ID answered to the firmware's identification, 4 characters
//   hwcoreid   = 8C93      core ID of the loader's hardware answer (default: coreid)
//   password   = secret    empty or missing: the panel has no password
//   signature1 = 8C930001  signature of kind 1 (hex)
//   signature2 = 00001234  signature of kind 2 (hex)
//   from       = 100000    FROM size reported by the hardware answer (hex)
//   dram       = 400000    DRAM size (hex)
//   sram       = 20000     SRAM size (hex)
//   lanversion = V4.60     version text of the LAN identity (below V4.51: the panel needs
//                          the extension program, see sim/LanServer.h)
//   [io]
//   A00000     = C3        I/O register address = value (hex); unlisted registers read 0
//   [region]               one section per memory region, any number of them
//   name       = FROM      free text, for messages only
//   start      = 0         first address (hex)
//   size       = 100000    bytes (hex, at least 1; start + size must stay within 32 bits)
//   fill       = pattern 1 seeded byte pattern (see PatternByte), or "byte FF"
//   [patch]
//   10         = 48 65 6C  address = hex bytes written over the fill
//   20         = "text"    address = literal text in double quotes
//   [cf]                   the CF card (without this section: a card with no files)
//   card       = none      no card in the slot ("present", the default, puts one in)
//   dir        = cards/a   adds every file below this folder (subfolders included) whose
//                          name, upper-cased, is a card file name; other files are skipped.
//                          A relative folder is taken from the description file's folder.
//   ZI00001.BIN = 48 65 6C           card file = hex bytes
//   ZR00001.CSV = "No,Val\r\n1,2"    card file = text in double quotes, with the escapes
//                                    \r \n \t \\ \" ("" is an empty file)
//   ZD00000.BIN = size 70000 pattern 7   generated: size in DECIMAL bytes (as file sizes
//                                        are on the wire), then "pattern SEED" (byte i is
//                                        PatternByte(SEED, i)) or "byte XX"
//
// Numbers are hexadecimal without a prefix ("0x" is accepted) except the card file sizes.
// Key and section names are case-insensitive; values keep their case; card file names are
// upper-cased and must be card file names of sim/CfCard.h (stem in its category's range,
// the category's extension). Regions must not overlap, and every patch byte must lie inside
// a region.
//
// Thread-safety: plain data and free functions; no shared state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kz::sim {

// How a region is filled before anything is written to it.
struct MemoryFill {
    enum class Kind { Byte, Pattern };
    Kind kind = Kind::Byte;
    std::uint8_t value = 0xFF;  // Kind::Byte
    std::uint32_t seed = 0;     // Kind::Pattern
};

struct MemoryRegion {
    std::string name;
    std::uint32_t start = 0;
    std::uint32_t size = 0;
    MemoryFill fill;
};

struct MemoryPatch {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

struct PanelDescription {
    std::string coreId = "0000";
    std::string hwCoreId;  // empty: the same as coreId
    std::string password;  // empty: no password
    std::uint32_t signature1 = 0;
    std::uint32_t signature2 = 0;
    std::uint32_t fromSize = 0;
    std::uint32_t dramSize = 0;
    std::uint32_t sramSize = 0;
    std::string lanVersion = "V4.60";
    std::map<std::uint32_t, std::uint32_t> ioRegisters;
    std::vector<MemoryRegion> regions;
    std::vector<MemoryPatch> patches;
    // When not empty: the loader file the PC is expected to download (4 address bytes, least
    // significant first, then the body). The start command then runs the loader only when
    // the downloaded address and body equal it.
    std::vector<std::uint8_t> expectedLoader;
    // The CF card: whether one is in the slot, and its files by card file name
    // ("ZI00001.BIN", see sim/CfCard.h).
    bool cfCardPresent = true;
    std::map<std::string, std::vector<std::uint8_t>> cfFiles;
};

// The byte of the seeded fill pattern at address: a mix of seed and address, so any byte of
// a region can be computed without the ones before it. Tests use it to build the image a
// panel is expected to hold.
std::uint8_t PatternByte(std::uint32_t seed, std::uint32_t address);

// The fill byte of region at address (which the caller has checked lies in the region).
std::uint8_t FillByte(const MemoryRegion& region, std::uint32_t address);

// Parses description text (format above) into out, which starts from a default
// PanelDescription. Relative card folders are taken from baseFolder (empty: the current
// folder). Returns false with "line N: reason" in *error on the first fault.
bool ParsePanelDescription(std::string_view text, PanelDescription& out,
                           std::string* error = nullptr, const std::string& baseFolder = {});

// Reads and parses a description file. False with a reason in *error when the file cannot be
// read or does not parse.
bool LoadPanelDescription(const std::string& path, PanelDescription& out,
                          std::string* error = nullptr);

// Checks a description built in code the way the parser checks a file: core ID of 1 to 4
// characters, regions of at least one byte within 32 bits and not overlapping, patches
// inside regions, card files with card file names. False with a reason in *error.
bool ValidatePanelDescription(const PanelDescription& description, std::string* error = nullptr);

// The built-in demo panel of kzpanel-sim: core ID 8C93, no password, signature 1 8C930001,
// signature 2 00001234, I/O register 00A00000 = C3, FROM 1 MiB at 00000000 (pattern 1), SRAM
// 128 KiB at 00400000 (pattern 2), DRAM 4 MiB reported only, and the text "KZ DEMO PANEL" at
// 00000100, and a CF card with ZI00001.BIN (70000 bytes, pattern 3), ZR00001.CSV (a short
// CSV text) and ZD00000.BIN (empty).
PanelDescription DemoPanel();

// Adds to files every file below folder (subfolders included) whose upper-cased name is a
// card file name. False with a reason in *error when the folder cannot be read, a file
// cannot be read, or two files give the same card name.
bool LoadCfFolder(const std::string& folder,
                  std::map<std::string, std::vector<std::uint8_t>>& files,
                  std::string* error = nullptr);

// Writes every card file into folder (created when missing), replacing files of the same
// name. False with a reason in *error on the first failure.
bool SaveCfFolder(const std::string& folder,
                  const std::map<std::string, std::vector<std::uint8_t>>& files,
                  std::string* error = nullptr);

}  // namespace kz::sim
