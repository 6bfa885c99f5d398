// The seventeen CF card categories in transfer order, the file-name rules and the PC folder
// layout that every CF transfer shares.
//
// A CF file is named by its stem (the two-character category prefix and a five-digit number
// with leading zeros, "ZI00001") and the category's extension (".BIN"). On the PC the files
// of a category live in one subfolder of the folder the user chose for the transfer:
//
//   <folder>/data     image, sound        <folder>/capture  screen / video capture
//   <folder>/file     filing, CSV         <folder>/alarm    alarm blocks 1 to 8
//   <folder>/log      logging             <folder>/Sram     backup SRAM
//   <folder>/trend    trend graph, sampling
//
// Thread-safety: constant data and functions without state; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "config/MessageIds.h"

namespace kz {

struct CfCategory {
    std::string_view name;       // for traces and tests ("image", "alarm block 1", ...)
    std::string_view prefix;     // two upper-case characters
    int first;                   // lowest file number of the category
    int last;                    // highest file number
    std::string_view subfolder;  // PC subfolder, spelled as on disk
    std::string_view extension;  // with its dot, upper case
    int receiveCaption;          // string id shown when a receive starts on the category
    int sendCaption;             // string id shown when a send starts on the category
};

inline constexpr std::size_t kCfCategoryCount = 17;
inline constexpr std::size_t kCfStemLength = 7;
inline constexpr std::size_t kCfNumberDigits = 5;

// The categories in transfer order.
inline constexpr std::array<CfCategory, kCfCategoryCount> kCfCategories = {{
    {"image", "ZI", 1, 8999, "data", ".BIN", msg::kCfImageReceive, msg::kCfImageSend},
    {"sound", "ZO", 1, 8999, "data", ".BIN", msg::kCfSoundReceive, msg::kCfSoundSend},
    {"filing", "ZF", 1, 8999, "file", ".BIN", msg::kCfFilingReceive, msg::kCfFilingSend},
    {"CSV", "ZR", 0, 65535, "file", ".CSV", msg::kCfCsvReceive, msg::kCfCsvSend},
    {"logging", "ZL", 0, 65535, "log", ".CSV", msg::kCfLoggingReceive, msg::kCfLoggingSend},
    {"trend graph", "ZT", 0, 65535, "trend", ".CSV", msg::kCfTrendReceive, msg::kCfTrendSend},
    {"sampling", "ZS", 0, 65535, "trend", ".CSV", msg::kCfSamplingReceive, msg::kCfSamplingSend},
    {"screen / video capture", "CP", 0, 65535, "capture", ".JPG", msg::kCfCaptureReceive,
     msg::kCfCaptureSend},
    {"alarm block 1", "ZA", 0, 65535, "alarm", ".CSV", msg::kCfAlarm1Receive, msg::kCfAlarm1Send},
    {"alarm block 2", "ZH", 0, 65535, "alarm", ".CSV", msg::kCfAlarm2Receive, msg::kCfAlarm2Send},
    {"alarm block 3", "ZG", 0, 65535, "alarm", ".CSV", msg::kCfAlarm3Receive, msg::kCfAlarm3Send},
    {"alarm block 4", "Z4", 0, 65535, "alarm", ".CSV", msg::kCfAlarm4Receive, msg::kCfAlarm4Send},
    {"alarm block 5", "Z5", 0, 65535, "alarm", ".CSV", msg::kCfAlarm5Receive, msg::kCfAlarm5Send},
    {"alarm block 6", "Z6", 0, 65535, "alarm", ".CSV", msg::kCfAlarm6Receive, msg::kCfAlarm6Send},
    {"alarm block 7", "Z7", 0, 65535, "alarm", ".CSV", msg::kCfAlarm7Receive, msg::kCfAlarm7Send},
    {"alarm block 8", "Z8", 0, 65535, "alarm", ".CSV", msg::kCfAlarm8Receive, msg::kCfAlarm8Send},
    {"backup SRAM", "ZD", 0, 65535, "Sram", ".BIN", msg::kCfSramReceive, msg::kCfSramSend},
}};

// The seven PC subfolders, in the order they are checked and created.
inline constexpr std::array<std::string_view, 7> kCfSubfolders = {
    "data", "file", "log", "trend", "capture", "alarm", "Sram"};

// The stem of a file number: prefix and the number as five digits ("ZI00001"). number must
// lie in 0..99999.
std::string CfStem(const CfCategory& category, int number);
std::string CfFirstStem(const CfCategory& category);
std::string CfLastStem(const CfCategory& category);

// The folder of a category below the PC folder, with a trailing '/': folder + "/" +
// subfolder + "/". The PC folder is used as given.
std::string CfCategoryFolder(const std::string& pcFolder, const CfCategory& category);

// True when stem is exactly the category's prefix followed by five decimal digits; only
// such a stem may become part of a PC path.
bool IsCfStemOf(const CfCategory& category, std::string_view stem);

// The file number of a PC file name: the characters after the first two up to the first
// "." after them must be exactly five decimal digits. -1 when they are not (or there is no
// ".").
int CfFileNumber(std::string_view fileName);

}  // namespace kz
