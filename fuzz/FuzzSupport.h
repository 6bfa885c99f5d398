// Shared pieces of the fuzz harnesses.
//
// Loaders that open their file by path (and refuse links) get the input through a scratch
// folder of the process's own, made on first use and removed when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kz::fuzz {

// The process's scratch folder, with a trailing '/'.
const std::string& ScratchFolder();

// Writes bytes to name in the scratch folder (replacing what was there); returns the path.
std::string WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size);
std::string WriteScratchFile(const std::string& name, std::string_view text);

// Upper-case hex digits of value, without a prefix.
std::string Hex(std::uint32_t value);

// Bytes as text for a trace: control and high bytes as <XX>.
std::string Printable(std::string_view bytes);

// Takes the input apart from the front: a byte, a little-endian number, a piece of a given
// length or up to a separator. Reads past the end give zeros and empty pieces.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return size_ - pos_; }
    std::uint8_t Byte();
    std::uint32_t Word();
    std::string Take(std::size_t count);
    // The bytes up to separator (not included), which is skipped; the rest when missing.
    std::string Until(char separator);
    std::string Rest() { return Take(Left()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace kz::fuzz

// The harness entry every target defines.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
