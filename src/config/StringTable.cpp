#include "config/StringTable.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>

#include "config/Settings.h"
#include "config/StringTableData.h"
#include "platform/File.h"

namespace kz {

namespace {

// Texts replacing the built-in ones: a common part and one part per language.
struct ResourceTexts {
    std::unordered_map<int, std::string> common;
    std::unordered_map<int, std::string> english;
    std::unordered_map<int, std::string> japanese;

    const std::unordered_map<int, std::string>& ForLanguage(Language language) const {
        return language == Language::Japanese ? japanese : english;
    }
};

// 0 = follow the system locale.
std::atomic<int> g_languageOverride{0};

std::shared_mutex g_resourceMutex;
std::optional<ResourceTexts> g_resource;

// A resource file larger than this is not a string table.
constexpr std::uintmax_t kMaxResourceFileSize = 4 * 1024 * 1024;
constexpr int kMaxStringId = 65535;
// The widest field width or precision a replacement text may ask for.
constexpr int kMaxFieldWidth = 64;

std::span<const detail::StringEntry> BuiltInTable(Language language) {
    return language == Language::Japanese ? detail::JapaneseStrings() : detail::EnglishStrings();
}

bool NamesJapanese(const char* locale) {
    std::string_view name(locale);
    if (!name.starts_with("ja")) {
        return false;
    }
    return name.size() == 2 || name[2] == '_' || name[2] == '.' || name[2] == '@' || name[2] == '-';
}

bool ValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length;
        unsigned minimum;
        unsigned value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
            minimum = 0x80;
            value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            minimum = 0x800;
            value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            minimum = 0x10000;
            value = c & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool ParseId(std::string_view digits, int& id) {
    if (digits.empty() || digits.size() > 5) {
        return false;
    }
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > kMaxStringId) {
        return false;
    }
    id = value;
    return true;
}

bool Unescape(std::string_view escaped, std::string& text) {
    text.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            text += escaped[i];
            continue;
        }
        if (++i == escaped.size()) {
            return false;
        }
        switch (escaped[i]) {
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                return false;
        }
    }
    return true;
}

bool Blank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// The built-in text of id (empty when there is none).
std::string GetBuiltIn(int id, Language language = Language::English) {
    auto table = BuiltInTable(language);
    auto it = std::lower_bound(
        table.begin(), table.end(), id,
        [](const detail::StringEntry& entry, int wanted) { return entry.id < wanted; });
    return it == table.end() || it->id != id ? std::string() : std::string(it->text);
}

// Parses a whole resource file; false at the first line that does not fit the format.
bool ParseResource(std::string_view content, ResourceTexts& out) {
    if (content.starts_with("\xEF\xBB\xBF")) {
        content.remove_prefix(3);
    }
    if (!ValidUtf8(content)) {
        return false;
    }
    std::unordered_map<int, std::string>* part = &out.common;
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (Blank(line) || line.starts_with('#')) {
            continue;
        }
        if (line.starts_with('[')) {
            if (line == "[1033]") {
                part = &out.english;
            } else if (line == "[1041]") {
                part = &out.japanese;
            } else {
                return false;
            }
            continue;
        }
        size_t tab = line.find('\t');
        int id = 0;
        std::string text;
        if (tab == std::string_view::npos || !ParseId(line.substr(0, tab), id) ||
            !Unescape(line.substr(tab + 1), text)) {
            return false;
        }
        (*part)[id] = std::move(text);
    }
    return true;
}

// The printf conversions of a text, in order ("%4.4s" and "%s" both give "s", "%*d" gives
// "*d"). Status lines are formatted from these texts with fixed arguments, so a
// replacement text must ask for exactly the arguments of the text it replaces.
std::string Conversions(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            continue;
        }
        if (++i >= text.size()) {
            out += '!';  // a lone '%' at the end is not a valid format
            break;
        }
        if (text[i] == '%') {
            continue;
        }
        while (i < text.size() &&
               std::string_view("-+ #0'").find(text[i]) != std::string_view::npos) {
            ++i;
        }
        // Width and precision: one text must not blow a status line up to megabytes.
        int number = 0;
        for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) ||
                                   text[i] == '.' || text[i] == '*');
             ++i) {
            if (text[i] == '*') {
                out += '*';
            }
            if (std::isdigit(static_cast<unsigned char>(text[i]))) {
                number = std::min(number * 10 + (text[i] - '0'), kMaxFieldWidth + 1);
            } else {
                number = 0;
            }
            if (number > kMaxFieldWidth) {
                out += '!';  // never matches a built-in text
            }
        }
        while (i < text.size() &&
               std::string_view("hlLqjzt").find(text[i]) != std::string_view::npos) {
            out += text[i++];
        }
        out += i < text.size() ? text[i] : '!';
        out += ',';
    }
    return out;
}

bool ConversionsMatch(const std::unordered_map<int, std::string>& texts) {
    for (const auto& [id, text] : texts) {
        const std::string builtIn = GetBuiltIn(id);
        if (Conversions(text) != Conversions(builtIn)) {
            return false;
        }
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    return platform::ReadRegularFile(path, kMaxResourceFileSize, content) ==
           platform::ReadOutcome::Read;
}

}  // namespace

Language SystemLanguage() {
    // The first of these that is set and not empty names the locale of messages.
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return NamesJapanese(value) ? Language::Japanese : Language::English;
        }
    }
    return Language::English;
}

Language CurrentLanguage() {
    int chosen = g_languageOverride.load();
    return chosen == 0 ? SystemLanguage() : static_cast<Language>(chosen);
}

void SetLanguage(Language language) {
    g_languageOverride.store(static_cast<int>(language));
}

std::string GetString(int id) {
    return GetString(id, CurrentLanguage());
}

std::string GetString(int id, Language language) {
    {
        std::shared_lock lock(g_resourceMutex);
        if (g_resource) {
            const auto& own = g_resource->ForLanguage(language);
            if (auto it = own.find(id); it != own.end()) {
                return it->second;
            }
            if (auto it = g_resource->common.find(id); it != g_resource->common.end()) {
                return it->second;
            }
        }
    }
    return GetBuiltIn(id, language);
}

bool LoadResourceFile(const std::string& path) {
    std::string content;
    ResourceTexts texts;
    if (!ReadWholeFile(path, content) || !ParseResource(content, texts) ||
        !ConversionsMatch(texts.common) || !ConversionsMatch(texts.english) ||
        !ConversionsMatch(texts.japanese)) {
        return false;
    }
    std::unique_lock lock(g_resourceMutex);
    g_resource = std::move(texts);
    return true;
}

void ClearResourceTexts() {
    std::unique_lock lock(g_resourceMutex);
    g_resource.reset();
}

bool LoadConfiguredResourceFile() {
    // Without the setting the path is the program folder itself, which never loads.
    return LoadResourceFile(CSettings().GetResourcePath());
}

std::vector<int> BuiltInStringIds(Language language) {
    std::vector<int> ids;
    for (const auto& entry : BuiltInTable(language)) {
        ids.push_back(entry.id);
    }
    return ids;
}

}  // namespace kz
