#include "config/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

// The parsed content in one line: "[name]" per section, "key=value;" per key. Control
// characters are shown as \r and \n so that expectations stay readable.
std::string Dump(const CIniFile& ini) {
    std::string out;
    for (const CIniSection& section : ini.AllSections()) {
        out += "[" + section.Name() + "]";
        for (const CIniKey& key : section.AllKeys()) {
            out += key.Name() + "=" + key.Value() + ";";
        }
    }
    std::string shown;
    for (char c : out) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else {
            shown += c;
        }
    }
    return shown;
}

struct ParseCase {
    const char* name;
    std::string file;
    std::string parsed;
};

class IniParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IniParse, ReadsSectionsAndKeys) {
    TempDir dir;
    CIniFile ini;
    ASSERT_TRUE(ini.Load(dir.Write("a.ini", GetParam().file)));
    EXPECT_EQ(Dump(ini), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IniParse,
    ::testing::Values(
        ParseCase{"Empty", "", ""}, ParseCase{"Simple", "[A]\r\nk=v\r\n", "[A]k=v;"},
        ParseCase{"NoFinalLineEnd", "[A]\r\nk=v", "[A]k=v;"},
        ParseCase{"NamesAreCaseSensitive", "[CONFIG]\r\nCOM=1\r\ncom=2\r\n[config]\r\nCOM=3\r\n",
                  "[CONFIG]COM=1;com=2;[config]COM=3;"},
        ParseCase{"LeadingBlanksAndTabsRemoved", "[A]\r\n  Bau=9600\r\n\t x=1 \r\n",
                  "[A]Bau=9600;x=1 ;"},
        ParseCase{"BlanksAroundEqualsKept", "[A]\r\nBau = 9600\r\n", "[A]Bau = 9600;"},
        ParseCase{"Comment", "[A]\r\n  ;COM=3\r\n", "[A]"},
        ParseCase{"SemicolonInsideName", "[A]\r\nx;COM=3\r\n", "[A]x;COM=3;"},
        ParseCase{"EmptySectionName", "[]\r\nk=v\r\n", "[]k=v;"},
        ParseCase{"BlanksInsideBrackets", "[ A ]\r\n", "[ A ]"},
        ParseCase{"UnclosedBracketIgnored", "[A]\r\n[B\r\nk=v\r\n", "[A]k=v;"},
        ParseCase{"ValueKeepsFurtherEquals", "[A]\r\nKEY=a=b\r\n", "[A]KEY=a=b;"},
        ParseCase{"EmptyNameAndValue", "[A]\r\n=\r\n", "[A]=;"},
        ParseCase{"KeysBeforeFirstSectionDropped", "k=v\r\n[A]\r\n", "[A]"},
        ParseCase{"LineWithoutEqualsIgnored", "[A]\r\nhello\r\n\r\n", "[A]"},
        ParseCase{"DuplicateKeysKept", "[A]\r\nk=1\r\nk=2\r\n", "[A]k=1;k=2;"},
        ParseCase{"RepeatedHeaderJoinsExisting", "[A]\r\na=1\r\n[B]\r\nb=1\r\n[A]\r\na=2\r\n",
                  "[A]a=1;a=2;[B]b=1;"},
        ParseCase{"LfEndsALine", "[A]\nk=v\n", "[A]k=v;"},
        ParseCase{"ByteOrderMarkSkipped", "\xEF\xBB\xBF[A]\nk=v\n", "[A]k=v;"},
        ParseCase{"MixedLineEnds", "[A]\r\nk=v\nw=x\r\n[B]\nb=1", "[A]k=v;w=x;[B]b=1;"},
        ParseCase{"LoneCrInsideValue", "[A]\r\nk=v\rw\r\n", "[A]k=v\\rw;"},
        ParseCase{"CrAtEndOfFileKept", "[A]\r\nk=v\r", "[A]k=v\\r;"},
        ParseCase{"ShiftJisBytesPassThrough", "[A]\r\nk=\x83\x65\x83\x58\r\n",
                  "[A]k=\x83\x65\x83\x58;"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, LongLinesStayWhole) {
    TempDir dir;
    // Comments, keys and values far beyond any fixed line buffer are one line each: the
    // tail of a comment never becomes a key and a value survives a save uncut.
    const std::string value(70000, 'a');
    const std::string path =
        dir.Write("a.ini", "[A]\r\n;" + std::string(600, 'c') + "x=1\r\nk=" + value + "\nm=2\r\n");
    {
        CIniFile ini;
        ASSERT_TRUE(ini.Load(path));
        EXPECT_EQ(Dump(ini), "[A]k=" + value + ";m=2;");
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(dir.Read("a.ini"), "[A]\r\nk=" + value + "\r\nm=2\r\n\r\n");
}

TEST(IniFile, LoadFailureLeavesNoPathAndSaveWritesNothing) {
    TempDir dir;
    const std::string path = dir.str() + "missing.ini";
    CIniFile ini;
    EXPECT_FALSE(ini.Load(path));
    EXPECT_EQ(ini.LoadResult(), CIniFile::kOpenFailed);
    EXPECT_TRUE(ini.FilePath().empty());
    EXPECT_EQ(ini.FindSection("A"), nullptr);
    ini.AddSection("A")->AddKey("k", "v");
    EXPECT_FALSE(ini.Save());
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(IniFile, AFolderOrAFifoInTheFilesPlaceIsRefusedWithoutWaiting) {
    TempDir dir;
    CIniFile ini;
    EXPECT_FALSE(ini.Load(dir.str()));
    EXPECT_EQ(ini.LoadResult(), CIniFile::kOpenFailed);
    const std::string fifo = dir.str() + "KZMNT.INI";
    if (test::MakeFifo(fifo)) {
        EXPECT_FALSE(ini.Load(fifo));  // would wait for a writer
        EXPECT_EQ(ini.LoadResult(), CIniFile::kOpenFailed);
    }
}

TEST(IniFile, SaveRegeneratesTheWholeFile) {
    TempDir dir;
    const std::string path = dir.Write(
        "a.ini", "; header comment\r\n  [A]\r\n  k=1\r\nk=2\r\n\r\n[B]\r\n;x=1\r\ny = 2 \r\n");
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.FilePath(), path);
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(dir.Read("a.ini"), "[A]\r\nk=1\r\nk=2\r\n\r\n[B]\r\ny = 2 \r\n\r\n");
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(IniFile, SaveRoundTripKeepsChangesAndOrder) {
    TempDir dir;
    const std::string path = dir.Write("a.ini", "[A]\r\nk=1\r\n[B]\r\n");
    {
        CIniFile ini;
        ASSERT_TRUE(ini.Load(path));
        ini.FindSection("A")->FindKey("k")->SetValue("x=y");
        ini.FindSection("B")->AddKey("n", "");
        ini.AddSection("C")->AddKey("c", "3");
        ASSERT_TRUE(ini.Save());
    }
    CIniFile again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(Dump(again), "[A]k=x=y;[B]n=;[C]c=3;");
}

TEST(IniFile, SaveToReadOnlyFileFailsAndKeepsIt) {
    TempDir dir;
    const std::string path = dir.Write("a.ini", "[A]\r\nk=1\r\n");
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    if (FILE* f = std::fopen(path.c_str(), "r+b")) {
        std::fclose(f);
        GTEST_SKIP() << "running with rights that ignore file permissions";
    }
    ini.FindSection("A")->FindKey("k")->SetValue("2");
    EXPECT_FALSE(ini.Save());
    EXPECT_EQ(dir.Read("a.ini"), "[A]\r\nk=1\r\n");
}

// Content the engine cannot read back is never written over; everything else is.
struct SaveGuardCase {
    const char* name;
    std::string file;
    bool saves;
};

class IniSaveGuard : public ::testing::TestWithParam<SaveGuardCase> {};

TEST_P(IniSaveGuard, WritesOnlyOverContentItCouldRead) {
    TempDir dir;
    const std::string path = dir.Write("a.ini", GetParam().file);
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.ContentUnreadable(), !GetParam().saves);
    ini.AddSection("CONFIG")->AddKey("File1", "x.mem");
    EXPECT_EQ(ini.Save(), GetParam().saves);
    if (!GetParam().saves) {
        EXPECT_EQ(dir.Read("a.ini"), GetParam().file);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Content, IniSaveGuard,
    ::testing::Values(SaveGuardCase{"Empty", "", true}, SaveGuardCase{"Blank", " \r\n\t\n", true},
                      SaveGuardCase{"CrLf", "[M]\r\nID=1\r\n", true},
                      SaveGuardCase{"LfOnly", "[M]\nID=1\n[PORTS]\nCOM1=/dev/ttyUSB0\n", true},
                      SaveGuardCase{"CommentsOnly", "; settings\n", true},
                      SaveGuardCase{"DosEndOfFileMark", "[M]\r\nID=1\r\n\x1A", true},
                      SaveGuardCase{"CrOnly", "[M]\rID=1\r[PORTS]\rCOM1=/dev/ttyUSB0\r", false},
                      SaveGuardCase{"CrOnlyEndingInBracket", "[M]\rID=1\r[N]", false},
                      SaveGuardCase{"NoLineEnds", "COM=3 Bau=9600", false},
                      SaveGuardCase{"NulBytes", std::string("[M]\r\nID=1\r\n\0\0\x01\x02", 15),
                                    false},
                      SaveGuardCase{"Binary",
                                    std::string("\x7F"
                                                "ELF\x02\x01\x01\0[A]\n",
                                                13),
                                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, SaveRefusesALineBreakInsideAText) {
    TempDir dir;
    const std::string original = "[A]\r\nk=1\r\n";
    const std::string path = dir.Write("a.ini", original);
    for (const char* bad : {"x\ny=2", "x\ry", "x\r\n[B]"}) {
        CIniFile ini;
        ASSERT_TRUE(ini.Load(path));
        ini.FindSection("A")->FindKey("k")->SetValue(bad);
        EXPECT_FALSE(ini.Save()) << bad;
        CIniFile other;
        ASSERT_TRUE(other.Load(path));
        other.AddSection(bad);
        EXPECT_FALSE(other.Save()) << bad;
    }
    EXPECT_EQ(dir.Read("a.ini"), original);
}

TEST(IniFile, LookupsAndCursors) {
    TempDir dir;
    CIniFile ini;
    ASSERT_TRUE(ini.Load(dir.Write("a.ini", "[A]\r\nk=1\r\nm=2\r\nk=3\r\n[B]\r\n")));
    CIniSection* a = ini.FirstSection();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Name(), "A");
    ASSERT_NE(ini.NextSection(), nullptr);
    EXPECT_EQ(ini.NextSection(), nullptr);
    EXPECT_EQ(ini.NextSection(), nullptr);

    EXPECT_EQ(a->FindKey("k")->Value(), "1");
    EXPECT_EQ(a->FindKey("K"), nullptr);
    std::string values;
    for (CIniKey* key = a->FirstKey(); key != nullptr; key = a->NextKey()) {
        values += key->Value();
    }
    EXPECT_EQ(values, "123");
    a->AddKey("k", "4");
    EXPECT_EQ(a->AllKeys().back().Value(), "4");
    EXPECT_EQ(a->FindKey("k")->Value(), "1");
}

struct GetValueCase {
    std::string value;
    int size;
    int result;
    std::string copied;
};

class IniGetValue : public ::testing::TestWithParam<GetValueCase> {};

TEST_P(IniGetValue, CutsToTheBuffer) {
    const auto& c = GetParam();
    CIniKey key("k", c.value);
    char buffer[16] = "untouched";
    EXPECT_EQ(key.GetValue(buffer, c.size), c.result);
    EXPECT_EQ(std::string(buffer), c.copied);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, IniGetValue,
    ::testing::Values(GetValueCase{"abcde", 0, -1, "untouched"}, GetValueCase{"abcde", 1, 5, ""},
                      GetValueCase{"abcde", 4, 2, "abc"}, GetValueCase{"abcde", 5, 1, "abcd"},
                      GetValueCase{"abcde", 6, 0, "abcde"}, GetValueCase{"", 1, 0, ""}));

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> fields;
};

class FieldSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FieldSplit, CutsAtCommas) {
    CFieldSplitter splitter;
    splitter.Split("stale,fields");
    ASSERT_TRUE(splitter.Split(GetParam().text));
    std::vector<std::string> got;
    for (int i = 0; i < splitter.Count(); ++i) {
        got.push_back(splitter.Field(i));
    }
    EXPECT_EQ(got, GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FieldSplit,
    ::testing::Values(SplitCase{"Two", "A,B", {"A", "B"}},
                      SplitCase{"EmptyMiddle", "A,,B", {"A", "", "B"}},
                      SplitCase{"TrailingSeparator", "A,B,", {"A", "B"}},
                      SplitCase{"LeadingSeparator", ",A", {"", "A"}},
                      SplitCase{"QuotedRun", "\"1,2\",3", {"1,2", "3"}},
                      SplitCase{"QuotesInsideField", "a\"b,c\"d,e", {"ab,cd", "e"}},
                      SplitCase{"UnclosedQuote", "x,\"a,b", {"x", "a,b"}},
                      SplitCase{"EmptyQuotes", "\"\",1", {"", "1"}}, SplitCase{"Empty", "", {}},
                      SplitCase{"SeparatorOnly", ",", {""}},
                      SplitCase{"BlanksKept", " 1 , 2", {" 1 ", " 2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldSplitter, GetFieldNeedsRoomForTheNul) {
    CFieldSplitter splitter;
    splitter.Split("abc,,x");
    char buffer[8] = "keep";
    EXPECT_FALSE(splitter.GetField(0, buffer, 3));
    EXPECT_STREQ(buffer, "keep");
    EXPECT_TRUE(splitter.GetField(0, buffer, 4));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_TRUE(splitter.GetField(1, buffer, 1));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(splitter.GetField(-1, buffer, 8));
    EXPECT_FALSE(splitter.GetField(3, buffer, 8));

    std::string out = "old";
    EXPECT_FALSE(splitter.GetField(0, out, 3));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(splitter.GetField(0, out, 4));
    EXPECT_EQ(out, "abc");
}

TEST(FieldSplitter, OtherSeparator) {
    CFieldSplitter splitter(' ');
    splitter.Split("a b,c");
    ASSERT_EQ(splitter.Count(), 2);
    EXPECT_EQ(splitter.Field(1), "b,c");
}

struct NumberCase {
    std::string text;
    int atoi;
    bool decOk;
    bool hexOk;
    std::uint32_t hex;
};

class IniNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(IniNumbers, ReadLikeTheCLibrary) {
    const auto& c = GetParam();
    EXPECT_EQ(IniAtoi(c.text), c.atoi);
    int dec = -777;
    EXPECT_EQ(IniScanDec(c.text, dec), c.decOk);
    EXPECT_EQ(dec, c.decOk ? c.atoi : -777);
    std::uint32_t hex = 0xDEAD;
    EXPECT_EQ(IniScanHex(c.text, hex), c.hexOk);
    EXPECT_EQ(hex, c.hexOk ? c.hex : 0xDEADu);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IniNumbers,
    ::testing::Values(NumberCase{"123", 123, true, true, 0x123},
                      NumberCase{"  -2", -2, true, true, 0xFFFFFFFE},
                      NumberCase{"+7x", 7, true, true, 0x7}, NumberCase{"ff", 0, false, true, 0xFF},
                      NumberCase{"0x1F", 0, true, true, 0x1F}, NumberCase{"", 0, false, false, 0},
                      NumberCase{"abc", 0, false, true, 0xABC},
                      NumberCase{"zz", 0, false, false, 0},
                      NumberCase{"99999999999", 2147483647, true, true, 0x99999999},
                      NumberCase{"10000", 10000, true, true, 0x10000}));

}  // namespace
}  // namespace kz
