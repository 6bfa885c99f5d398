#include "ui/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <cstring>

#include "config/StringTable.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {

struct Supplement {
    const char* context;
    const char* source;
    int textId;
};

constexpr Supplement kSupplements[] = {
    {"QAbstractFileIconProvider", "Drive", 20423},
    {"QAbstractFileIconProvider", "Folder", 20424},
    {"QAbstractFileIconProvider", "Shortcut", 20425},
    {"QAbstractFileIconProvider", "Unknown", 20426},
};

}  // namespace

QString CQtTextSupplement::translate(const char* context, const char* sourceText,
                                     const char* /*disambiguation*/, int /*n*/) const {
    if (CurrentLanguage() != Language::Japanese || context == nullptr || sourceText == nullptr) {
        return {};
    }
    for (const Supplement& s : kSupplements) {
        if (std::strcmp(context, s.context) == 0 && std::strcmp(sourceText, s.source) == 0) {
            return Text(s.textId);
        }
    }
    return {};
}

void InstallQtTexts(QCoreApplication& app) {
    if (CurrentLanguage() != Language::Japanese) {
        return;
    }
    auto* qtTexts = new QTranslator(&app);
    if (qtTexts->load(QStringLiteral("qtbase_ja"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qtTexts);
    }
    // Installed last, so asked first; it answers only what it has.
    QCoreApplication::installTranslator(new CQtTextSupplement(&app));
}

}  // namespace kz::ui
