#include "config/StringTable.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "platform/ProgramFolder.h"
#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

struct Text {
    int id;
    const char* english;
};

class ExactEnglishText : public ::testing::TestWithParam<Text> {};

TEST_P(ExactEnglishText, MatchesTheSystemText) {
    EXPECT_EQ(GetString(GetParam().id, Language::English), GetParam().english);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ExactEnglishText,
    ::testing::Values(
        Text{msg::kAppTitle, "PC Transfer tool"},
        Text{msg::kValueOutOfRange, "The value besides the range is set up."},
        Text{msg::kFileUnreadable,
             "The specified file did not exist or it has damaged.\nPlease check a "
             "specification file again."},
        Text{msg::kModelVerifyMessage, "\"%s\"  It verifies."},
        Text{msg::kCompleted, "Processing was completed."},
        Text{msg::kBackupProgress, "    Buckup(%d/%d)..."},
        Text{msg::kReturnOnline,
             "Please return KZ to an on-line screen.\nPlease click the \"O.K.\" button."},
        Text{msg::kCheckPower, "Please check a power supply or a cable."},
        Text{msg::kAborted, "Processing was aborted by operation."},
        Text{msg::kRetryOver, "Retry Over"},
        Text{msg::kIloaderRead, "Reading of ILOADER went wrong."},
        Text{msg::kVerifyMismatch, "Data which is not in agreement by verification."},
        Text{msg::kNotRegistered, "Apparatus information is not registered."},
        Text{msg::kCoreIdDiffers, "CORE-ID is different."},
        Text{msg::kIoCodeDiffers, "IO-CODE is different."}, Text{msg::kTimeOut, "    Time Out..."},
        Text{msg::kPasswordWrong, "The password is wrong. Please input again."},
        Text{msg::kPasswordRetry,
             "When a password input was carried out, the retry error occurred."},
        Text{msg::kPasswordInput, "Password input"}, Text{msg::kNoCfCard, "There is no CF card."},
        Text{msg::kFepromSize, "The size of FEPROM is different."},
        Text{msg::kSramSize, "The size of SRAM is different."},
        Text{msg::kSignatureDiffers, "Signature is different."},
        Text{msg::kNoMemory, "Insufficient memory"}, Text{msg::kDataError, "    Data error"},
        Text{msg::kAskOverwriteCard,
             "It overwrites to CF card of a transmission place. \n Is it all right to this?"},
        Text{msg::kCfCaptureReceive, "Screen capture/Video capture reception"},
        Text{msg::kFileWrite, "File write error"},
        Text{msg::kDiscontinuation, "    Discontinuation processing is carried out."},
        Text{msg::kPleaseWait, "    ... Please wait for a while."},
        Text{msg::kCmdBackup, "Data of connection apparatus is backed up.\nBACKUP"}));

TEST(Strings, JapaneseTexts) {
    EXPECT_EQ(GetString(msg::kCompleted, Language::Japanese), "処理が完了しました。");
    EXPECT_EQ(GetString(msg::kTimeOut, Language::Japanese), "    タイムアウト...");
    EXPECT_EQ(GetString(msg::kBackupProgress, Language::Japanese), "    バックアップ(%d/%d)...");
    EXPECT_EQ(GetString(msg::kFolderSelectionCaption, Language::Japanese), "フォルダ選択");
}

TEST(Strings, UnknownIdIsEmpty) {
    for (int id : {-1, 0, 4013, 5008, 9999, 70000}) {
        EXPECT_EQ(GetString(id, Language::English), "") << id;
        EXPECT_EQ(GetString(id, Language::Japanese), "") << id;
    }
}

// The printf conversions of a text ("%d", "%4.4s", "%%") and the numbered inserts of the
// framework's messages ("%1"), in order.
std::vector<std::string> FormatSpecifiers(const std::string& text) {
    std::vector<std::string> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            continue;
        }
        size_t end = i + 1;
        while (end < text.size() &&
               std::string("-+#0123456789.hlLzjt").find(text[end]) != std::string::npos) {
            ++end;
        }
        if (end < text.size() &&
            (std::isalpha(static_cast<unsigned char>(text[end])) || text[end] == '%')) {
            ++end;
        } else {
            end = i + 1;
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
        }
        found.push_back(text.substr(i, end - i));
        i = end - 1;
    }
    return found;
}

size_t LeadingBlanks(const std::string& text) {
    size_t n = text.find_first_not_of(' ');
    return n == std::string::npos ? text.size() : n;
}

TEST(Strings, BothLanguagesHaveTheSameIdsSpecifiersAndLeadingBlanks) {
    auto english = BuiltInStringIds(Language::English);
    auto japanese = BuiltInStringIds(Language::Japanese);
    EXPECT_EQ(english, japanese);
    EXPECT_GT(english.size(), 100u);
    for (int id : english) {
        std::string en = GetString(id, Language::English);
        std::string ja = GetString(id, Language::Japanese);
        EXPECT_FALSE(en.empty()) << id;
        EXPECT_FALSE(ja.empty()) << id;
        EXPECT_EQ(FormatSpecifiers(en), FormatSpecifiers(ja)) << id;
        EXPECT_EQ(LeadingBlanks(en), LeadingBlanks(ja)) << id;
    }
}

TEST(Strings, EveryStringIdTheProgramUsesIsThere) {
    std::vector<int> used = {1000, 1001, 1002, 1003, 1004, 1005, 2000, 61714};
    for (int id = 3000; id <= 3005; ++id)
        used.push_back(id);
    for (int id = 3200; id <= 3208; ++id)
        used.push_back(id);
    for (int id : {3299, 3300, 3301, 3302, 3303, 3304, 3305})
        used.push_back(id);
    for (int id = 3310; id <= 3317; ++id)
        used.push_back(id);
    for (int id = 3340; id <= 3359; ++id)
        used.push_back(id);
    for (int id = 4000; id <= 4018; ++id) {
        if (id != 4013)
            used.push_back(id);
    }
    for (int id = 5000; id <= 5049; ++id) {
        if (id != 5008)
            used.push_back(id);
    }
    for (int id : {8000, 8001, 32772, 32773, 32774, 32775, 32777, 32778, 32779, 32789, 32790, 32791,
                   32792}) {
        used.push_back(id);
    }
    for (int id : used) {
        EXPECT_FALSE(GetString(id, Language::English).empty()) << id;
    }
}

// Sets or clears an environment variable for one test and puts it back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) {
            old_ = old;
        }
        test::SetEnvironment(name, value);
    }
    ~ScopedEnv() { test::SetEnvironment(name_, old_ ? old_->c_str() : nullptr); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

struct LocaleCase {
    const char* name;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language expected;
};

class SystemLocale : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(SystemLocale, ChoosesTheLanguage) {
    ScopedEnv all("LC_ALL", GetParam().lcAll);
    ScopedEnv messages("LC_MESSAGES", GetParam().lcMessages);
    ScopedEnv lang("LANG", GetParam().lang);
    EXPECT_EQ(SystemLanguage(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, SystemLocale,
    ::testing::Values(
        LocaleCase{"NothingSet", nullptr, nullptr, nullptr, Language::English},
        LocaleCase{"LangJapanese", nullptr, nullptr, "ja_JP.UTF-8", Language::Japanese},
        LocaleCase{"LangBareJa", nullptr, nullptr, "ja", Language::Japanese},
        LocaleCase{"LcAllWins", "C", nullptr, "ja_JP.UTF-8", Language::English},
        LocaleCase{"EmptyLcAllIgnored", "", nullptr, "ja_JP.eucJP", Language::Japanese},
        LocaleCase{"MessagesJapanese", nullptr, "ja_JP", "en_US.UTF-8", Language::Japanese},
        LocaleCase{"OtherLanguage", nullptr, nullptr, "de_DE.UTF-8", Language::English},
        LocaleCase{"NotJustJaLetters", nullptr, nullptr, "jam", Language::English}),
    [](const auto& info) { return info.param.name; });

TEST(Strings, ChosenLanguageIsUsedByDefault) {
    SetLanguage(Language::Japanese);
    EXPECT_EQ(CurrentLanguage(), Language::Japanese);
    EXPECT_EQ(GetString(msg::kRetryOver), "リトライオーバー");
    SetLanguage(Language::English);
    EXPECT_EQ(GetString(msg::kRetryOver), "Retry Over");
}

class ResourceFile : public ::testing::Test {
  protected:
    void TearDown() override {
        ClearResourceTexts();
        platform::SetProgramFolder("");
    }
    test::TempDir folder_;
};

TEST_F(ResourceFile, ReplacesTextsPerLanguage) {
    auto path = folder_.Write("texts.txt",
                              "\xEF\xBB\xBF# replacement texts\r\n"
                              "\r\n"
                              "3299\tDone.\r\n"
                              "4002\tRetries\\tused up\\nfor good \\\\o/\r\n"
                              "[1041]\n"
                              "3299\t完了\n"
                              "[1033]\n"
                              "4008\t    Timed out!\n"
                              "9000\t\n");
    ASSERT_TRUE(LoadResourceFile(path));
    EXPECT_EQ(GetString(3299, Language::English), "Done.");
    EXPECT_EQ(GetString(3299, Language::Japanese), "完了");
    EXPECT_EQ(GetString(4002, Language::English), "Retries\tused up\nfor good \\o/");
    EXPECT_EQ(GetString(4002, Language::Japanese), "Retries\tused up\nfor good \\o/");
    EXPECT_EQ(GetString(4008, Language::English), "    Timed out!");
    EXPECT_EQ(GetString(4008, Language::Japanese), "    タイムアウト...");
    EXPECT_EQ(GetString(9000, Language::English), "");
    // Ids the file does not name keep their built-in texts.
    EXPECT_EQ(GetString(4001, Language::English), "Processing was aborted by operation.");

    ClearResourceTexts();
    EXPECT_EQ(GetString(3299, Language::English), "Processing was completed.");
}

struct BadLine {
    const char* name;
    const char* line;
};

class MalformedResource : public ResourceFile, public ::testing::WithParamInterface<BadLine> {};

TEST_P(MalformedResource, IsIgnoredAsAWhole) {
    ASSERT_TRUE(LoadResourceFile(folder_.Write("good.txt", "3299\tEarlier\n")));
    std::string content = std::string("4002\tNot taken\n") + GetParam().line + "\n";
    EXPECT_FALSE(LoadResourceFile(folder_.Write("bad.txt", content)));
    // The texts loaded before stay in force; nothing of the bad file is taken.
    EXPECT_EQ(GetString(3299, Language::English), "Earlier");
    EXPECT_EQ(GetString(4002, Language::English), "Retry Over");
}

INSTANTIATE_TEST_SUITE_P(
    Strings, MalformedResource,
    ::testing::Values(BadLine{"NoTab", "3299 no tab"}, BadLine{"NoId", "\tno id"},
                      BadLine{"IdNotANumber", "32x\ttext"}, BadLine{"NegativeId", "-1\tnegative"},
                      BadLine{"IdTooBig", "65536\ttoo big"}, BadLine{"IdTooLong", "123456\tlong"},
                      BadLine{"UnknownEscape", "3299\tbad \\q escape"},
                      BadLine{"TrailingBackslash", "3299\ttrailing \\"},
                      BadLine{"UnknownSection", "[1049]"}, BadLine{"OpenSection", "[1033"},
                      BadLine{"NotUtf8", "\xFF\xFE bytes"},
                      BadLine{"CutUtf8Character", "3299\t\xE3\x81 cut character"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ResourceFile, MissingFileOrFolderChangesNothing) {
    EXPECT_FALSE(LoadResourceFile(folder_.str() + "absent.txt"));
    EXPECT_FALSE(LoadResourceFile(folder_.str()));
    EXPECT_EQ(GetString(3299, Language::English), "Processing was completed.");
}

TEST_F(ResourceFile, SettingNamesTheFileInTheProgramFolder) {
    platform::SetProgramFolder(folder_.str());
    EXPECT_FALSE(LoadConfiguredResourceFile());  // no settings file, no RESOURCE
    folder_.Write("KZMNT.INI", "[CONFIG]\r\nRESOURCE=lang/texts.txt\r\n");
    folder_.Write("lang/texts.txt", "3004\tSearch finished\n");
    EXPECT_TRUE(LoadConfiguredResourceFile());
    EXPECT_EQ(GetString(3004, Language::English), "Search finished");
}

}  // namespace
}  // namespace kz
