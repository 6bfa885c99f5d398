// Qt's own texts (the file dialog, edit menus, message box buttons) in the program's
// language: Qt's Japanese translation, plus the texts it lacks, taken from the string
// table (the file dialog's "Folder", "Drive", "Shortcut" and "Unknown" in its type column).
//
// Thread-safety: GUI thread only, before or while the application runs.
#pragma once

#include <QTranslator>

class QCoreApplication;

namespace kz::ui {

// Answers the texts Qt's Japanese translation does not have, from the string table; every
// other text is left to the translators installed before it.
class CQtTextSupplement : public QTranslator {
  public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }
};

// Installs Qt's Japanese texts and the supplement when the program's language is Japanese;
// nothing otherwise. The translators live as long as app.
void InstallQtTexts(QCoreApplication& app);

}  // namespace kz::ui
