// The program's string table: every text the user sees, by id, in English (1033) and
// Japanese (1041). A resource file named by the RESOURCE setting may replace texts.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace kz {

enum class Language { English = 1033, Japanese = 1041 };

// Japanese when the system locale (LC_ALL, LC_MESSAGES, LANG) names Japanese ("ja..."),
// English otherwise.
Language SystemLanguage();
// The language GetString() uses: the system language unless SetLanguage() chose one.
Language CurrentLanguage();
void SetLanguage(Language language);

// The text of id in the current language (a loaded resource file first), or an empty
// text when the id is unknown.
std::string GetString(int id);
std::string GetString(int id, Language language);

// Loads a resource file whose texts replace the built-in ones. A missing or malformed file
// changes nothing and reports nothing (the result says whether it loaded). A file that
// loads replaces the texts of any file loaded before.
//
// Format: UTF-8 text (an optional byte-order mark is skipped), one entry per line as
// "id<TAB>text" with a decimal id from 0 to 65535; in the text "\n" is a line break, "\t"
// a tab and "\\" a backslash. Lines end with LF or CR LF. Blank lines and lines starting
// with '#' are ignored. A line "[1033]" or "[1041]" starts a section for English or
// Japanese; entries before the first section apply to both languages, and an entry of the
// language's own section wins over one of the common part. A later entry for the same id
// in the same part wins. Any other line (no tab, a bad id, an unknown escape or section,
// invalid UTF-8) makes the whole file malformed.
bool LoadResourceFile(const std::string& path);
// Drops the texts of a loaded resource file.
void ClearResourceTexts();

// Loads the resource file named by the RESOURCE setting (relative to the program folder),
// reading the settings afresh. False, silently, when the setting is missing or the file
// does not load.
bool LoadConfiguredResourceFile();

// The ids of the built-in table of a language, ascending (resource texts not included).
std::vector<int> BuiltInStringIds(Language language);

}  // namespace kz
