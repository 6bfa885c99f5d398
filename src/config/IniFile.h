// The program's own INI engine: the whole file is held in memory as an ordered list of
// sections, each an ordered list of key/value pairs, and written back by regenerating the
// whole file. Texts are 8-bit byte strings (Shift-JIS bytes pass through untouched) and are
// compared byte by byte, so names are case-sensitive.
//
// File syntax as read:
//   - CR LF or LF alone ends a line; a line may be of any length;
//   - a UTF-8 byte-order mark at the start is skipped;
//   - leading blanks and tabs are removed, trailing ones stay;
//   - ";" as first character: comment; "[name]": section header; "name=value": key
//     (everything after the first "=" is the value); anything else is ignored, as are keys
//     before the first section header;
//   - the same key may occur several times in a section; a repeated section header makes
//     the existing section of that name current again.
// Save writes "[name]" CR LF, "name=value" CR LF per key, and one empty line per section:
// comments, blank lines and leading blanks of the original are not kept.
//
// Content the engine cannot read as an INI file is never written over, because the
// rewrite would lose whatever the file held: bytes that do not occur in text (NUL and
// other control characters except TAB, CR, LF and a DOS end-of-file mark), a CR that does
// not end a line (CR-only line ends), or non-blank content without a single section header
// or comment. Such a file still loads (lookups see what could be parsed), but Save refuses.
//
// Thread-safety: objects are not shared; each thread creates its own reader. Different
// objects may be used on different threads at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace kz {

// Number reading as the C library's scanners do, shared by the settings and the model
// definitions.
//
// IniAtoi: like atoi — leading white space and a sign accepted, reading stops at the first
// non-digit, text without digits gives 0; values beyond the int range saturate.
int IniAtoi(std::string_view text);
// IniScanDec: like sscanf "%d". True and the number when at least one digit was read;
// false (value untouched) otherwise.
bool IniScanDec(std::string_view text, int& value);
// IniScanHex: like sscanf "%x": leading white space, an optional sign and an optional
// "0x" prefix, then hex digits in either case; the result is taken modulo 2^32. True when
// at least one digit was read; false (value untouched) otherwise.
bool IniScanHex(std::string_view text, std::uint32_t& value);
// IniParseHex: the strict reading: the whole text, blanks (space, TAB) around it aside, is
// one or more hex digits in either case whose value fits 32 bits; no sign, no prefix. True
// and the number, or false (value untouched).
bool IniParseHex(std::string_view text, std::uint32_t& value);

class CIniKey {
  public:
    CIniKey(std::string name, std::string value)
        : m_name(std::move(name)), m_value(std::move(value)) {}

    const std::string& Name() const { return m_name; }
    const std::string& Value() const { return m_value; }
    void SetValue(std::string value) { m_value = std::move(value); }

    // Copies the value with its NUL into buffer. Returns -1 (nothing copied) when size < 1;
    // 0 when the whole value fit; otherwise the first size - 1 characters and a NUL are
    // copied and the number of characters that did not fit is returned.
    int GetValue(char* buffer, int size) const;

  private:
    std::string m_name;
    std::string m_value;
};

class CIniSection {
  public:
    using Keys = std::list<CIniKey>;

    explicit CIniSection(std::string name) : m_name(std::move(name)), m_cursor(m_keys.end()) {}
    CIniSection(const CIniSection&) = delete;
    CIniSection& operator=(const CIniSection&) = delete;

    const std::string& Name() const { return m_name; }
    // All keys in file order (duplicates included).
    const Keys& AllKeys() const { return m_keys; }

    // The first key named exactly name, or nullptr. The key cursor is left on it.
    CIniKey* FindKey(std::string_view name);
    const CIniKey* FindKey(std::string_view name) const;
    // Enumerate the keys in file order through the key cursor; nullptr at the end.
    CIniKey* FirstKey();
    CIniKey* NextKey();
    // Appends a key at the end (no check for an existing key of that name) and returns it.
    CIniKey* AddKey(std::string name, std::string value);

  private:
    std::string m_name;
    Keys m_keys;
    // Position of the last lookup; std::list iterators stay valid across insertions.
    mutable Keys::const_iterator m_cursor;
};

class CIniFile {
  public:
    enum LoadStatus { kLoaded = 0, kOpenFailed = 1, kReadShort = 2 };
    using Sections = std::list<CIniSection>;

    CIniFile();
    virtual ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // Reads the whole file and parses it. False when the file cannot be opened (status 1)
    // or was not read whole (status 2); the object then holds no sections and no path, so
    // a later Save writes nothing. On success the path is remembered for Save.
    bool Load(const std::string& path);

    // Writes the whole file to the path remembered by Load. The new text goes to a
    // temporary file created exclusively beside it, which then replaces the file by a
    // rename and takes over its permissions. Returns true only when the file was replaced;
    // false, with the file on disk exactly as it was, when there is no path (Load failed),
    // the loaded content was unreadable (ContentUnreadable), a name or value holds a CR or
    // LF (it would come back as a line of its own), the file is read-only, or the
    // temporary file cannot be written whole (disk full) or renamed.
    bool Save();

    // The first section named exactly name, or nullptr; the section cursor is left on it.
    CIniSection* FindSection(std::string_view name);
    const CIniSection* FindSection(std::string_view name) const;
    // Enumerate the sections in file order through the section cursor; nullptr at the end.
    CIniSection* FirstSection();
    CIniSection* NextSection();
    // Appends a new empty section at the end and returns it.
    CIniSection* AddSection(std::string name);

    const Sections& AllSections() const { return m_sections; }
    // The path remembered by a successful Load (empty otherwise).
    const std::string& FilePath() const { return m_path; }
    // kLoaded, kOpenFailed or kReadShort after Load; kOpenFailed before any Load.
    int LoadResult() const { return m_status; }
    // True after a Load whose content was not an INI text (see the top of this file); Save
    // then refuses to write over it.
    bool ContentUnreadable() const { return m_bUnreadable; }

  protected:
    // Rebuilds the section list from the bytes being loaded.
    virtual void Parse();
    // Rewinds to the start of the loaded bytes and reads one whole line (without its CR LF
    // or LF) into line. False when there is no line.
    virtual bool FirstLine(std::string& line);
    // Reads the next line, as FirstLine.
    virtual bool NextLine(std::string& line);

  private:
    std::string m_path;
    Sections m_sections;
    mutable Sections::const_iterator m_cursor;
    int m_status = kOpenFailed;
    bool m_bUnreadable = false;
    // The file's bytes and the read position; filled only while Load runs.
    std::string m_data;
    std::size_t m_readPos = 0;
};

// Cuts a text into fields at a separator (a comma unless changed). Text between double
// quotes is taken literally, separators included, and the quotes are dropped; an unclosed
// quote runs to the end. An empty field between two separators counts; an empty last
// field (after a trailing separator) does not; an empty text gives no fields.
class CFieldSplitter {
  public:
    explicit CFieldSplitter(char separator = ',') : m_separator(separator) {}

    void SetSeparator(char separator) { m_separator = separator; }
    // Discards the previous fields and splits text. Always true.
    bool Split(std::string_view text);

    int Count() const { return static_cast<int>(m_fields.size()); }
    // Copies field index with its NUL. False (nothing copied) when index is out of range or
    // size is less than the field's length + 1.
    bool GetField(int index, char* buffer, int size) const;
    // The same rule for a reader whose buffer has bufferSize bytes: false when the field is
    // missing or would not fit; out is then emptied.
    bool GetField(int index, std::string& out, std::size_t bufferSize) const;
    // Field index with no length limit; empty when out of range.
    std::string Field(int index) const;

  private:
    char m_separator;
    std::vector<std::string> m_fields;
};

}  // namespace kz
