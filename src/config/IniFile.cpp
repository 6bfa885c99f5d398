#include "config/IniFile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/File.h"

namespace kz {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Leading white space and an optional sign; returns the position after them.
std::size_t SkipSpaceAndSign(std::string_view text, bool& negative) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return i;
}

// Reads decimal digits from position i, saturating at the int range.
bool ReadDecimal(std::string_view text, std::size_t i, bool negative, int& value) {
    long long n = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        if (n <= static_cast<long long>(INT_MAX) + 1) {
            n = n * 10 + (text[i] - '0');
        }
    }
    if (!any) {
        return false;
    }
    if (negative) {
        n = -n;
    }
    if (n > INT_MAX) {
        n = INT_MAX;
    } else if (n < INT_MIN) {
        n = INT_MIN;
    }
    value = static_cast<int>(n);
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// False for content that is not text: control bytes other than TAB, LF, CR and a DOS
// end-of-file mark, or a CR that is not followed by LF (CR-only line ends are not read as
// line ends, so such a file would come back as a few garbled lines).
bool LooksLikeText(std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            if (i + 1 == data.size() || data[i + 1] != '\n') {
                return false;
            }
        } else if (c < 0x20 && c != '\t' && c != '\n' && c != 0x1A) {
            return false;
        }
    }
    return true;
}

// For content that gave no section: true when it is blank or has a comment line, i.e.
// when rewriting it loses nothing an INI reader would have seen.
bool HasHeaderOrComment(std::string_view data) {
    bool blank = true;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t end = data.find('\n', pos);
        if (end == std::string_view::npos) {
            end = data.size();
        }
        std::string_view line = data.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t first = line.find_first_not_of(" \t\r\x1A");
        if (first == std::string_view::npos) {
            continue;
        }
        blank = false;
        if (line[first] == ';') {
            return true;
        }
    }
    return blank;
}

}  // namespace

int IniAtoi(std::string_view text) {
    bool negative = false;
    std::size_t i = SkipSpaceAndSign(text, negative);
    int value = 0;
    ReadDecimal(text, i, negative, value);
    return value;
}

bool IniScanDec(std::string_view text, int& value) {
    bool negative = false;
    std::size_t i = SkipSpaceAndSign(text, negative);
    return ReadDecimal(text, i, negative, value);
}

bool IniScanHex(std::string_view text, std::uint32_t& value) {
    bool negative = false;
    std::size_t i = SkipSpaceAndSign(text, negative);
    // "0x" counts as a prefix only when a hex digit follows; "0xZ" reads as 0.
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        HexDigit(text[i + 2]) >= 0) {
        i += 2;
    }
    std::uint32_t n = 0;
    bool any = false;
    for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
        any = true;
        n = (n << 4) | static_cast<std::uint32_t>(HexDigit(text[i]));
    }
    if (!any) {
        return false;
    }
    value = negative ? 0u - n : n;
    return true;
}

bool IniParseHex(std::string_view text, std::uint32_t& value) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return false;
    }
    const auto last = text.find_last_not_of(" \t");
    std::uint64_t n = 0;
    for (std::size_t i = first; i <= last; ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0) {
            return false;
        }
        n = (n << 4) | static_cast<std::uint64_t>(digit);
        if (n > 0xFFFFFFFFu) {
            return false;
        }
    }
    value = static_cast<std::uint32_t>(n);
    return true;
}

// ---- CIniKey ----

int CIniKey::GetValue(char* buffer, int size) const {
    if (size < 1 || buffer == nullptr) {
        return -1;
    }
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    if (m_value.size() <= room) {
        std::memcpy(buffer, m_value.data(), m_value.size());
        buffer[m_value.size()] = '\0';
        return 0;
    }
    std::memcpy(buffer, m_value.data(), room);
    buffer[room] = '\0';
    return static_cast<int>(m_value.size() - room);
}

// ---- CIniSection ----

CIniKey* CIniSection::FindKey(std::string_view name) {
    return const_cast<CIniKey*>(std::as_const(*this).FindKey(name));
}

const CIniKey* CIniSection::FindKey(std::string_view name) const {
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it) {
        if (it->Name() == name) {
            m_cursor = it;
            return &*it;
        }
    }
    return nullptr;
}

CIniKey* CIniSection::FirstKey() {
    m_cursor = m_keys.begin();
    return m_cursor == m_keys.end() ? nullptr : const_cast<CIniKey*>(&*m_cursor);
}

CIniKey* CIniSection::NextKey() {
    if (m_cursor == m_keys.end() || ++m_cursor == m_keys.end()) {
        return nullptr;
    }
    return const_cast<CIniKey*>(&*m_cursor);
}

CIniKey* CIniSection::AddKey(std::string name, std::string value) {
    m_cursor = m_keys.end();
    m_keys.emplace_back(std::move(name), std::move(value));
    return &m_keys.back();
}

// ---- CIniFile ----

CIniFile::CIniFile() : m_cursor(m_sections.end()) {}

CIniFile::~CIniFile() = default;

bool CIniFile::Load(const std::string& path) {
    m_path.clear();
    m_sections.clear();
    m_cursor = m_sections.end();
    m_bUnreadable = false;

    // Only a regular file is read: a folder, a FIFO or a device in the file's place is
    // refused at once instead of blocking the start.
    switch (platform::ReadRegularFile(path, SIZE_MAX, m_data)) {
        case platform::ReadOutcome::Read:
            break;
        case platform::ReadOutcome::CannotOpen:
            m_status = kOpenFailed;
            return false;
        case platform::ReadOutcome::TooLarge:
        case platform::ReadOutcome::ShortRead:
            m_status = kReadShort;
            return false;
    }
    m_readPos = 0;
    m_bUnreadable = !LooksLikeText(m_data);
    Parse();
    if (!m_bUnreadable && m_sections.empty()) {
        m_bUnreadable = !HasHeaderOrComment(m_data);
    }
    m_data.clear();
    m_data.shrink_to_fit();
    m_readPos = 0;
    m_path = path;
    m_status = kLoaded;
    return true;
}

bool CIniFile::FirstLine(std::string& line) {
    // Editors that save UTF-8 may put a byte-order mark first; it would hide the first
    // section header.
    m_readPos = m_data.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    return NextLine(line);
}

bool CIniFile::NextLine(std::string& line) {
    line.clear();
    if (m_readPos >= m_data.size()) {
        return false;
    }
    std::size_t end = m_data.find('\n', m_readPos);
    std::size_t next = end + 1;
    if (end == std::string::npos) {
        end = m_data.size();
        next = end;
    } else if (end > m_readPos && m_data[end - 1] == '\r') {
        --end;  // CR LF
    }
    line.assign(m_data, m_readPos, end - m_readPos);
    m_readPos = next;
    return true;
}

void CIniFile::Parse() {
    m_sections.clear();
    m_cursor = m_sections.end();

    std::string line;
    CIniSection* current = nullptr;
    for (bool more = FirstLine(line); more; more = NextLine(line)) {
        std::string_view text(line);
        std::size_t start = 0;
        while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) {
            ++start;
        }
        text.remove_prefix(start);
        if (text.empty() || text.front() == ';') {
            continue;
        }
        if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
            std::string_view name = text.substr(1, text.size() - 2);
            current = FindSection(name);
            if (current == nullptr) {
                current = AddSection(std::string(name));
            }
            continue;
        }
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos || current == nullptr) {
            continue;
        }
        current->AddKey(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
    }
}

bool CIniFile::Save() {
    if (m_path.empty() || m_bUnreadable) {
        return false;
    }
    std::string text;
    for (const CIniSection& section : m_sections) {
        if (HasLineBreak(section.Name())) {
            return false;
        }
        text += '[';
        text += section.Name();
        text += "]\r\n";
        for (const CIniKey& key : section.AllKeys()) {
            if (HasLineBreak(key.Name()) || HasLineBreak(key.Value())) {
                return false;
            }
            text += key.Name();
            text += '=';
            text += key.Value();
            text += "\r\n";
        }
        text += "\r\n";
    }

    // A file that exists but cannot be opened for writing (read-only, locked) stays as it
    // is: replacing it through a rename would bypass its protection.
    {
        FilePtr probe(std::fopen(m_path.c_str(), "r+b"));
        if (!probe && errno != ENOENT) {
            return false;
        }
    }
    // No fallback to writing in place: a write cut short there would leave the file cut.
    return platform::ReplaceFileWith(m_path, text);
}

CIniSection* CIniFile::FindSection(std::string_view name) {
    return const_cast<CIniSection*>(std::as_const(*this).FindSection(name));
}

const CIniSection* CIniFile::FindSection(std::string_view name) const {
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it) {
        if (it->Name() == name) {
            m_cursor = it;
            return &*it;
        }
    }
    return nullptr;
}

CIniSection* CIniFile::FirstSection() {
    m_cursor = m_sections.begin();
    return m_cursor == m_sections.end() ? nullptr : const_cast<CIniSection*>(&*m_cursor);
}

CIniSection* CIniFile::NextSection() {
    if (m_cursor == m_sections.end() || ++m_cursor == m_sections.end()) {
        return nullptr;
    }
    return const_cast<CIniSection*>(&*m_cursor);
}

CIniSection* CIniFile::AddSection(std::string name) {
    m_sections.emplace_back(std::move(name));
    return &m_sections.back();
}

// ---- CFieldSplitter ----

bool CFieldSplitter::Split(std::string_view text) {
    m_fields.clear();
    std::string field;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            const std::size_t close = text.find('"', i + 1);
            const std::size_t end = close == std::string_view::npos ? text.size() : close;
            field.append(text.substr(i + 1, end - i - 1));
            i = end;  // on the closing quote, or past the end
        } else if (c == m_separator) {
            m_fields.push_back(std::move(field));
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty()) {
        m_fields.push_back(std::move(field));
    }
    return true;
}

bool CFieldSplitter::GetField(int index, char* buffer, int size) const {
    if (index < 0 || index >= Count() || buffer == nullptr || size < 1) {
        return false;
    }
    const std::string& field = m_fields[static_cast<std::size_t>(index)];
    if (static_cast<std::size_t>(size) < field.size() + 1) {
        return false;
    }
    std::memcpy(buffer, field.c_str(), field.size() + 1);
    return true;
}

bool CFieldSplitter::GetField(int index, std::string& out, std::size_t bufferSize) const {
    out.clear();
    if (index < 0 || index >= Count()) {
        return false;
    }
    const std::string& field = m_fields[static_cast<std::size_t>(index)];
    if (bufferSize < field.size() + 1) {
        return false;
    }
    out = field;
    return true;
}

std::string CFieldSplitter::Field(int index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    return m_fields[static_cast<std::size_t>(index)];
}

}  // namespace kz
