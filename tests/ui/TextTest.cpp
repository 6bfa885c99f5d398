// Texts from files and panels: Shift_JIS model names and comments show as Japanese; Qt's
// own texts follow the program's language, also those Qt's translation lacks.
#include <QAbstractFileIconProvider>
#include <QApplication>
#include <QDir>
#include <QTest>

#include "UiTestSupport.h"
#include "platform/TextEncoding.h"
#include "ui/QtTexts.h"
#include "ui/UiText.h"

class TextTest : public QObject {
    Q_OBJECT
  private slots:
    void ShiftJisAndMixedTextsDecode() {
        using kz::platform::DisplayUtf8;
        QCOMPARE(DisplayUtf8("KZ-DEMO"), std::string("KZ-DEMO"));
        QCOMPARE(DisplayUtf8("\xE3\x83\x87\xE3\x83\xA2"), std::string("デモ"));  // UTF-8 stays
        QCOMPARE(DisplayUtf8("KZ-\x83\x66\x83\x82"), std::string("KZ-デモ"));    // Shift_JIS
        QCOMPARE(DisplayUtf8("\xB1"), std::string("ｱ"));                         // half-width kana
        // A UTF-8 status text around a Shift_JIS model name.
        QCOMPARE(DisplayUtf8("機種 \"\x83\x66\x83\x82\""), std::string("機種 \"デモ\""));
        QCOMPARE(DisplayUtf8("a\x80z"), std::string("a\xEF\xBF\xBDz"));
        QCOMPARE(DisplayUtf8("\x83"), std::string("\xEF\xBF\xBD"));  // a lead byte at the end
        QCOMPARE(kz::ui::DisplayText("KZ-\x83\x66\x83\x82"), QString::fromUtf8("KZ-デモ"));
    }

    // The file dialog's type column names a folder "Folder": Qt's Japanese translation has
    // no such text, the program's supplement does.
    void TheFileDialogNamesAFolderInJapanese() {
        const QFileInfo folder(QDir::tempPath());
        const QAbstractFileIconProvider icons;
        kz::ui::CQtTextSupplement supplement;
        QVERIFY(QCoreApplication::installTranslator(&supplement));
        {
            kz::uitest::LanguageScope english(kz::Language::English);
            QCOMPARE(icons.type(folder), QString("Folder"));
        }
        {
            kz::uitest::LanguageScope japanese(kz::Language::Japanese);
            QCOMPARE(icons.type(folder), QString::fromUtf8("フォルダ"));
            QCOMPARE(QCoreApplication::translate("QAbstractFileIconProvider", "Drive"),
                     QString::fromUtf8("ドライブ"));
            // Anything else is left to Qt's own translation.
            QVERIFY(supplement.translate("QFileDialog", "Folder").isNull());
        }
        QCoreApplication::removeTranslator(&supplement);
    }
};

QTEST_MAIN(TextTest)
#include "TextTest.moc"
