// The ILOADER file: the transfer loader that the panel's firmware takes into its RAM and
// starts before any memory transfer. The model definitions name it (key ILOADER).
//
// Format (binary, nothing else in it):
//   bytes 0-3   load address, least significant byte first
//   bytes 4-    the loader's program, sent to the panel as it is
//
// The program travels in one firmware frame, ESC "PLD" address(8 hex) length(8 hex)
// program cs CR: 19 bytes beside the file's own, and the whole frame must fit the link's
// 66560-byte buffer. A file is therefore usable from 4 to 66541 bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kz {

struct LoaderImage {
    std::uint32_t address = 0;  // where the program is loaded and started
    std::string program;        // the bytes after the address
};

// The file a model definition names: a bare name lies in the program folder; a name that
// holds a folder separator is used as it is.
std::string LoaderFilePath(const std::string& name);

enum class LoaderFileFault { None, CannotOpen, BadSize, ShortRead };

// Reads and checks the file at path. Empty, with the reason in *fault when asked for, when
// it cannot be opened, is shorter than the address or longer than maxBytes, or cannot be
// read whole.
std::optional<LoaderImage> ReadLoaderFile(const std::string& path, std::uint32_t maxBytes,
                                          LoaderFileFault* fault = nullptr);

}  // namespace kz
