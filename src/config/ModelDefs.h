// The panel model definitions: every section of "KZMNT.INI" that has an ID key describes
// one panel model (the section name is the model name). Nothing about the models is built
// into the program; this reader answers the questions the operations ask:
//
//   [GX-400]                 model name
//   ID=**12                  core ID pattern (hex digits or '*', compared right-aligned)
//   ILOADER=IL400.BIN        loader sent over the serial link
//   BAU=115200               loader baud rate (9600/19200/38400/115200, else unchanged)
//   SIGNATURE=1,1A2B,EQ      signature kind n, value (hex), EQ or NE
//   IOCODE=3C                I/O code of the model
//   IO1=FF00,1,5 / IO3=...   WriteIO address (hex), count, value (hex)
//   IO2=FF02,1               ReadIO address (hex), count
//   CHKMEM=400000,80000      expected FROM and SRAM sizes (hex)
//   BK_FILE=GX400            stem of automatic backup file names
//   OFFSET=10000             transfer unit in bytes (hex)
//   FROM1=0,200000           flash areas: start, size (hex)
//   SRAM1=800000,80000,40000 SRAM areas: start, size, verify size (hex)
//   SLOADER=SL400.BIN        system loader for the LAN link
//
// Field reading: values are split at commas (CFieldSplitter). A field that is missing, or
// longer than the reader's buffer (32 bytes for FROM/SRAM fields, 256 for the others),
// reads as empty; hex fields read like "%x", decimal ones like "%d".
//
// Thread-safety: a reader belongs to the thread that made it. CheckCoreID and the static
// accessors may be called from any thread; section pointers stay valid for the lifetime of
// the reader that returned them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/IniFile.h"

namespace kz {

// Reader buffer sizes for key fields.
inline constexpr std::size_t kAreaFieldBufferSize = 32;
inline constexpr std::size_t kModelFieldBufferSize = 256;
// Transfer unit when OFFSET is missing.
inline constexpr std::uint32_t kDefaultTransferUnit = 0x10000;
// The image header holds this many area records: FROM and SRAM areas together.
inline constexpr std::size_t kMaxMemAreas = 24;
// Area types as stored in the image header.
inline constexpr int kAreaFrom = 0;
inline constexpr int kAreaSram = 1;

struct MemArea {
    int type = kAreaFrom;     // kAreaFrom or kAreaSram
    std::uint32_t start = 0;  // 0 when the field reads as empty
    std::uint32_t size = 0;
    std::uint32_t verifySize = 0;  // FROM: the size; SRAM: the third field
};

// An area as written in the file, for display.
// Why a model's memory areas cannot be used for a transfer (see CModelDefs::CheckAreas).
enum class AreaFault {
    None,
    NoAreas,  // neither FROM1 nor SRAM1
    BadArea,  // key names the area whose fields do not read as hex numbers, or size 0
    TooMany,  // more areas than the image header holds
    Wraps,    // key names the area that runs past the end of the 32-bit address space
    BadUnit,  // OFFSET does not read as a hex number
};

struct AreaCheck {
    AreaFault fault = AreaFault::None;
    std::string key;  // the key at fault (BadArea, Wraps, BadUnit)
    bool ok() const { return fault == AreaFault::None; }
};

struct MemAreaText {
    int type = kAreaFrom;
    std::string key;                      // "FROM1", "SRAM2", ...
    std::string start, size, verifySize;  // fields; empty when missing or too long
};

// The SIGNATURE key: kind n, value and condition.
struct SignatureRule {
    std::optional<int> kind;             // first field, empty when it does not read
    std::optional<std::uint32_t> value;  // second field
    std::string cond;                    // third field as written

    // True when the signature of kindRead with valueRead fits the rule: the kinds are
    // equal and valueRead equals the value (cond "EQ") or differs from it (cond "NE").
    // A rule without kind or value, or with any other cond, never fits.
    bool Fits(int kindRead, std::uint32_t valueRead) const;
};

// WriteIO / ReadIO parameters of IO1, IO2, IO3. Fields that do not read are 0.
struct IoParams {
    std::uint32_t address = 0;
    int count = 0;
    std::uint32_t value = 0;  // IO1 and IO3 only
};

struct MemSizes {
    std::uint32_t from = 0;
    std::uint32_t sram = 0;
};

// Receives the core ID match's trace lines (each ends in "\n"); the caller forwards them to
// the developer trace.
using CoreIdTracer = std::function<void(const char* line)>;

class CModelDefs {
  public:
    // Loads kz::platform::ProgramFolder() + "KZMNT.INI".
    CModelDefs();
    explicit CModelDefs(const std::string& iniPath);
    CModelDefs(const CModelDefs&) = delete;
    CModelDefs& operator=(const CModelDefs&) = delete;

    // True when the file was loaded. A missing file behaves like a file without models.
    bool Loaded() const { return m_ini.LoadResult() == CIniFile::kLoaded; }
    // True when the file has any section at all.
    bool HasSections() const { return !m_ini.AllSections().empty(); }
    const CIniFile& File() const { return m_ini; }

    // Tracer for the core ID matches made by this reader's searches.
    void SetTracer(CoreIdTracer tracer) { m_tracer = std::move(tracer); }

    // Core ID match: both texts are cut to their first 4 characters, and the last n of
    // them (n = the shorter length) are compared from left to right; '*' on either side
    // matches any character, other characters must be equal (case-sensitive). An empty
    // side matches everything. The trace lines go to trace when given.
    static bool CheckCoreID(std::string_view coreId, std::string_view pattern,
                            const CoreIdTracer& trace = {});

    // A model section is a section with an ID key.
    static bool IsModel(const CIniSection& section);
    // All model sections in file order.
    std::vector<const CIniSection*> Models() const;

    // The searches; each returns the first model section in file order that fits, or
    // nullptr.
    // By core ID: the ID pattern matches coreId.
    const CIniSection* FindByCoreID(std::string_view coreId) const;
    // By core ID and signature: the ID pattern matches and the section's SIGNATURE fits
    // the signature of kind read with value read (sections without SIGNATURE never fit).
    const CIniSection* FindByCoreIDAndSignature(std::string_view coreId, int kind,
                                                std::uint32_t value) const;
    // By name: the section named exactly name (only model sections).
    const CIniSection* FindByName(std::string_view name) const;
    // By image identity: the ID pattern matches the image's core ID text and, when ioCode
    // is not empty, the section's IOCODE value equals it exactly.
    const CIniSection* FindByImage(std::string_view imageCoreId, std::string_view ioCode) const;

    // Accessors. A null section behaves as a section without the key.
    static bool Has(const CIniSection* section, std::string_view key);
    // The key's whole value; empty when missing.
    static std::string Text(const CIniSection* section, std::string_view key);
    // Field index of the key's value. False (out empty) when the key or the field is
    // missing or the field does not fit a buffer of bufferSize bytes.
    static bool Field(const CIniSection* section, std::string_view key, int index, std::string& out,
                      std::size_t bufferSize = kModelFieldBufferSize);
    // Field index read as hex / decimal. False and out untouched when the field is empty
    // (see Field) or has no digits.
    static bool HexField(const CIniSection* section, std::string_view key, int index,
                         std::uint32_t& out, std::size_t bufferSize = kModelFieldBufferSize);
    static bool DecField(const CIniSection* section, std::string_view key, int index, int& out,
                         std::size_t bufferSize = kModelFieldBufferSize);

    // OFFSET as hex; 0x10000 when missing. A value that reads as 0 (or not at all) also
    // gives 0x10000: a unit of 0 could never move any data.
    static std::uint32_t Unit(const CIniSection* section);
    // FROM1, FROM2, ... then SRAM1, SRAM2, ...: each numbering stops at the first missing
    // number, and at most 24 areas are taken in all.
    static std::vector<MemArea> Areas(const CIniSection* section);
    static std::vector<MemAreaText> AreaTexts(const CIniSection* section);
    // The areas and the unit a transfer may use, read strictly: every FROMn / SRAMn field
    // must be a hex number of at most 32 bits (blanks around it allowed; an SRAM verify
    // size may be missing and then reads 0), every size above 0, at most 24 areas, none
    // running past address FFFFFFFF (an area smaller than the unit occupies a whole unit),
    // and OFFSET, when present, a hex number (0 gives the default unit). On a fault areas
    // is empty and the answer says which key is wrong.
    static AreaCheck CheckAreas(const CIniSection* section, std::vector<MemArea>& areas,
                                std::uint32_t& unit);
    // SIGNATURE, or nothing when the key is missing.
    static std::optional<SignatureRule> Signature(const CIniSection* section);
    // IO1 / IO2 / IO3, or nothing when the key is missing.
    static std::optional<IoParams> Io(const CIniSection* section, std::string_view key);
    // CHKMEM, or nothing when the key is missing.
    static std::optional<MemSizes> CheckMem(const CIniSection* section);
    // BAU when it is 9600, 19200, 38400 or 115200; nothing otherwise.
    static std::optional<std::uint32_t> ModelBaud(const CIniSection* section);
    // The baud rate to use: BAU when it is one of the four rates, otherwise current.
    static std::uint32_t SelectBaud(const CIniSection* section, std::uint32_t current);

  private:
    CIniFile m_ini;
    CoreIdTracer m_tracer;
};

}  // namespace kz
