// The program's string table: every text the user sees, by id, in English (1033) and
// Japanese (1041). A resource file named by the RESOURCE setting may replace texts.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <string>

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
// changes nothing and reports nothing (the result says whether it loaded).
bool LoadResourceFile(const std::string& path);
// Drops the texts of a loaded resource file.
void ClearResourceTexts();

}  // namespace kz
