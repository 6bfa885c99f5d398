// The CompactFlash card of a simulated panel: its files, and the bookkeeping of the two
// transfer directions over the serial link. Pure state; the panel's engine decodes the
// frames, calls in here and writes the answers.
//
// Card files are named by a seven-character stem (a two-character category prefix and a
// five-digit number) followed by the category's extension: "ZI00001.BIN", "ZR65535.CSV",
// "CP00042.JPG". Only such names take part in transfers; other names may be stored (a test
// can put them there) but are never listed.
//
// Card -> PC:  range "ZI00001,ZI08999" → header of the first file in it (files in stem
//              order), or a result; each block request → the next block of that file;
//              next request → header of the following file in the range, or result "0".
// PC -> card:  announcement stem + size → go-ahead or result; then per block: header
//              (length + checksum) → go-ahead, data + checksum → go-ahead (full block) or
//              final answer (short block: the file is stored).
//
// The panel's answers on the wire: file header DLE "<E" stem size(10 decimal digits) CR SUB;
// result DLE "<EE" result CR SUB; block 5 decimal digits of the length, the data, the
// checksum; go-ahead ACK SUB; final answer DLE "<E00" CR SUB. A refused request gets result
// "F" (malformed range) or "G" (malformed announcement, refused block header or data), and
// a refused last block gets the result answer "G" as its final answer.
//
// Thread-safety: none; the owner (Panel) serialises all calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kz::sim {

using CfFiles = std::map<std::string, std::vector<std::uint8_t>>;

// Data bytes of a full block; every block but the last of a file has exactly this many.
inline constexpr std::uint32_t kCfBlockSize = 65280;
// Largest file the card takes from the PC: sizes travel as signed 32-bit numbers.
inline constexpr std::uint64_t kCfMaxFileSize = 0x7FFFFFFF;

// One category of card files: prefix, extension and the numbers the panel uses.
struct CfCategoryRule {
    std::string_view prefix;
    std::string_view extension;
    std::uint32_t first;
    std::uint32_t last;
};

// The seventeen categories the panel keeps on its card.
std::span<const CfCategoryRule> CfCategoryRules();

// The category of a two-character prefix, or null.
const CfCategoryRule* CfCategoryForPrefix(std::string_view prefix);

// A stem split into its parts.
struct CfStem {
    std::string prefix;
    std::uint32_t number = 0;
};

// Parses a seven-character stem of a known prefix and five decimal digits (the number may
// lie outside the category's range). Nullopt otherwise.
std::optional<CfStem> ParseCfStem(std::string_view stem);

// The card file name of a stem: stem + the category's extension. Nullopt for a stem that
// ParseCfStem refuses or whose number lies outside the category's range.
std::optional<std::string> CfFileNameForStem(std::string_view stem);

// True for a name the card lists: a valid stem within its category's range followed by
// exactly that category's extension (upper case).
bool IsCfCardFileName(std::string_view name);

// Result characters of the panel's four-character result answers.
inline constexpr char kCfResultNone = '0';    // no (more) files / file finished
inline constexpr char kCfResultNoCard = 'E';  // no card in the slot
inline constexpr char kCfResultRead = 'F';    // card read error
inline constexpr char kCfResultWrite = 'G';   // card write error
inline constexpr char kCfResultDelete = 'H';  // card delete error
inline constexpr char kCfResultFolder = 'I';  // card folder creation error

class CfCard {
  public:
    CfCard(bool present, CfFiles files);

    bool Present() const { return present_; }
    // Taking the card out ends both transfers.
    void SetPresent(bool present);
    const CfFiles& Files() const { return files_; }
    void SetFile(const std::string& name, std::vector<std::uint8_t> bytes);
    // False when there was no such file.
    bool RemoveFile(const std::string& name);

    // --- card -> PC -------------------------------------------------------------------

    // What the panel answers to a range or next request: a file header (result 0) with the
    // file's stem and size, or a result character.
    struct Offer {
        char result = 0;  // 0: a file is offered
        std::string stem;
        std::size_t size = 0;
    };

    // range: the text after ">E", "ZI00001,ZI08999". A malformed range (not two stems of
    // one known prefix separated by a comma) gives kCfResultRead and *malformed = true.
    Offer OpenRange(std::string_view range, bool* malformed = nullptr);
    // The file after the one offered last, within the open range. Without an open range:
    // kCfResultNone.
    Offer NextFile();
    // The next block of the offered file (copied when it was offered, so later changes to
    // the card do not tear it), or nullopt when no block is due.
    std::optional<std::span<const std::uint8_t>> NextBlock();
    bool BlocksDue() const;
    // The PC gave up on the offered file: no more blocks of it. The range stays open.
    void StopFile();

    // --- PC -> card -------------------------------------------------------------------

    // announcement: the text after "<E", stem (7) + size (10 decimal digits). Returns 0
    // (go-ahead: a block header is expected next) or a result character. *malformed is set
    // for text that is not a stem of a known category within its range and a size of ten
    // digits up to kCfMaxFileSize.
    char Announce(std::string_view announcement, bool* malformed = nullptr);
    // True while the card expects a block of an announced file.
    bool Receiving() const { return incoming_.has_value(); }
    // The length the next block header must announce.
    std::uint32_t ExpectedBlockLength() const;
    // Checks a seven-byte block header (five decimal digits and the checksum of those
    // digits). Returns the data length it announces, or nullopt when the checksum is wrong,
    // the digits are not decimal or the length is not the one expected.
    std::optional<std::uint32_t> AcceptBlockHeader(std::span<const std::uint8_t> header);

    enum class BlockOutcome {
        Full,     // a full block was taken; the next block header follows
        Stored,   // the last block was taken and the file is on the card
        Refused,  // bad checksum: the file is dropped
    };
    // Takes a block's data followed by its two checksum characters (length announced by
    // the accepted header + 2).
    BlockOutcome AcceptBlockData(std::span<const std::uint8_t> dataAndChecksum);
    // Forgets a file that was announced but not completed.
    void DropIncoming();

    // Ends both transfers (quit, handshake, power loss).
    void EndTransfers();

  private:
    struct Range {
        std::string prefix;
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        std::string lastOffered;  // stem; empty before the first offer
    };
    struct Outgoing {
        std::vector<std::uint8_t> data;
        std::size_t sent = 0;
    };
    struct Incoming {
        std::string name;
        std::size_t size = 0;
        std::vector<std::uint8_t> data;
        std::uint32_t blockLength = 0;  // announced by the accepted header
    };

    Offer OfferAfter(const std::string& stem);

    bool present_;
    CfFiles files_;
    std::optional<Range> range_;
    std::optional<Outgoing> outgoing_;
    std::optional<Incoming> incoming_;
};

// Two upper-case hex characters: the negated 8-bit sum of bytes.
std::string CfChecksumText(std::span<const std::uint8_t> bytes);

}  // namespace kz::sim
