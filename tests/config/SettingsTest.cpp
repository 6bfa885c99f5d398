#include "config/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/ProgramFolder.h"
#include "platform/SerialPorts.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

TEST(Settings, DefaultsWhenTheFileIsMissing) {
    TempDir dir;
    CSettings settings(dir.str() + "KZMNT.INI");
    EXPECT_EQ(settings.GetComPort(), 1);
    EXPECT_EQ(settings.GetBaudIndex(), 2);
    EXPECT_EQ(settings.GetWriteTimeout(), 30);
    EXPECT_EQ(settings.GetReadTimeout(), 10);
    EXPECT_EQ(settings.GetRetry(), 3);
    std::string path;
    EXPECT_FALSE(settings.GetRecentFile(1, path));
    EXPECT_EQ(settings.GetWorkPath(), "");
    EXPECT_EQ(settings.GetCommType(), 0);
    EXPECT_TRUE(settings.GetDispMode());
    EXPECT_FALSE(settings.GetAutoFileName());
    EXPECT_FALSE(settings.GetDebug());
    EXPECT_EQ(settings.GetCfSize(), 0u);
    EXPECT_EQ(settings.GetCfWait(), 3000);

    // Setters change only the copy in memory: the file is not created.
    settings.SetComPort(4);
    EXPECT_EQ(settings.GetComPort(), 4);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "KZMNT.INI"));
}

TEST(Settings, DefaultConstructorUsesTheProgramFolder) {
    TempDir dir;
    dir.Write("KZMNT.INI", "[CONFIG]\r\nCOM=7\r\n");
    platform::SetProgramFolder(dir.str());
    CSettings settings;
    EXPECT_EQ(settings.IniPath(), dir.str() + "KZMNT.INI");
    EXPECT_EQ(settings.GetComPort(), 7);
    dir.Write("KZMNT.INI", "[CONFIG]\r\nRESOURCE=lang\\JP.RES\r\n");
    EXPECT_EQ(CSettings().GetResourcePath(), dir.str() + "lang\\JP.RES");
    dir.Write("KZMNT.INI", "");
    EXPECT_EQ(CSettings().GetResourcePath(), dir.str());
    platform::SetProgramFolder("");
}

struct GetterCase {
    const char* name;
    std::string config;  // lines of section CONFIG
    int com, baud, writeTimeout, retry;
    bool disp, autoName, debug;
    std::uint32_t cfSize;
};

class SettingsGetters : public ::testing::TestWithParam<GetterCase> {};

TEST_P(SettingsGetters, ReadTheConfigSection) {
    const auto& c = GetParam();
    TempDir dir;
    CSettings s(dir.Write("KZMNT.INI", "[CONFIG]\r\n" + c.config));
    EXPECT_EQ(s.GetComPort(), c.com);
    EXPECT_EQ(s.GetBaudIndex(), c.baud);
    EXPECT_EQ(s.GetWriteTimeout(), c.writeTimeout);
    EXPECT_EQ(s.GetRetry(), c.retry);
    EXPECT_EQ(s.GetDispMode(), c.disp);
    EXPECT_EQ(s.GetAutoFileName(), c.autoName);
    EXPECT_EQ(s.GetDebug(), c.debug);
    EXPECT_EQ(s.GetCfSize(), c.cfSize);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsGetters,
    ::testing::Values(
        GetterCase{"EmptySection", "", 1, 2, 30, 3, true, false, false, 0},
        GetterCase{"Plain",
                   "COM=3\r\nBau=9600\r\nWriteTimeout=5\r\nRetry=0\r\nDISPMODE=0\r\n"
                   "AUTOFILENAME=1\r\nDEBUG=ON\r\nCF_SIZE=ff00\r\n",
                   3, 0, 5, 0, false, true, true, 0xFF00},
        GetterCase{"OddBaudIsIndex3", "Bau=57600\r\n", 1, 3, 30, 3, true, false, false, 0},
        GetterCase{"Baud19200", "Bau=19200\r\n", 1, 1, 30, 3, true, false, false, 0},
        GetterCase{"NegativeComIsOne", "COM=-2\r\n", 1, 2, 30, 3, true, false, false, 0},
        GetterCase{"ComZeroStays", "COM=0\r\n", 0, 2, 30, 3, true, false, false, 0},
        GetterCase{"DebugLowerCaseIsOff", "DEBUG=on\r\n", 1, 2, 30, 3, true, false, false, 0},
        GetterCase{"DebugWithBlankIsOff", "DEBUG=ON \r\n", 1, 2, 30, 3, true, false, false, 0},
        GetterCase{"NumbersReadLikeAtoi",
                   "COM= 12abc\r\nWriteTimeout=x\r\nRetry=+4\r\n"
                   "DISPMODE=junk\r\nAUTOFILENAME=-1\r\n",
                   12, 2, 0, 4, false, true, false, 0},
        GetterCase{"KeyWithBlankIsAnotherKey", "COM =5\r\n", 1, 2, 30, 3, true, false, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, OnlyTheConfigSectionCounts) {
    TempDir dir;
    CSettings s(dir.Write("KZMNT.INI", "[config]\r\nCOM=5\r\n[MODEL]\r\nCOM=6\r\n"));
    EXPECT_EQ(s.GetComPort(), 1);
}

TEST(Settings, SetterReplacesAppendsKeyOrAppendsSection) {
    TempDir dir;
    const std::string path = dir.Write("KZMNT.INI", "[MODEL]\r\nID=12\r\n");
    CSettings(path).SetRetry(5);
    EXPECT_EQ(dir.Read("KZMNT.INI"), "[MODEL]\r\nID=12\r\n\r\n[CONFIG]\r\nRetry=5\r\n\r\n");
    CSettings(path).SetBaudIndex(7);
    CSettings(path).SetRetry(6);
    CSettings(path).SetComPort(-3);
    EXPECT_EQ(dir.Read("KZMNT.INI"),
              "[MODEL]\r\nID=12\r\n\r\n[CONFIG]\r\nRetry=6\r\nBau=115200\r\nCOM=1\r\n\r\n");

    CSettings s(path);
    EXPECT_EQ(s.GetRetry(), 6);
    EXPECT_EQ(s.GetBaudIndex(), 3);
}

TEST(Settings, SettersRoundTrip) {
    TempDir dir;
    const std::string path = dir.Write("KZMNT.INI", "");
    {
        CSettings s(path);
        s.SetComPort(2);
        s.SetBaudIndex(1);
        s.SetWriteTimeout(65535);
        s.SetReadTimeout(0);
        s.SetRetry(99);
        s.SetWorkPath("C:\\work dir");
        s.SetCommType(1);
        s.SetDispMode(0);
        s.SetAutoFileName(1);
    }
    CSettings s(path);
    EXPECT_EQ(s.GetComPort(), 2);
    EXPECT_EQ(s.GetBaudIndex(), 1);
    EXPECT_EQ(s.GetWriteTimeout(), 65535);
    EXPECT_EQ(s.GetReadTimeout(), 0);
    EXPECT_EQ(s.GetRetry(), 99);
    EXPECT_EQ(s.GetWorkPath(), "C:\\work dir");
    EXPECT_EQ(s.GetCommType(), 1);
    EXPECT_FALSE(s.GetDispMode());
    EXPECT_TRUE(s.GetAutoFileName());
}

std::string RecentList(const std::string& path) {
    CSettings s(path);
    std::string list;
    for (int n = 0; n <= 6; ++n) {
        std::string file;
        list += s.GetRecentFile(n, file) ? file : "-";
        list += n < 6 ? "," : "";
    }
    return list;
}

TEST(Settings, AddRecentFileWithoutConfigSection) {
    TempDir dir;
    const std::string path = dir.Write("KZMNT.INI", "[M]\r\nID=1\r\n");
    CSettings(path).AddRecentFile("a.MEM");
    EXPECT_EQ(dir.Read("KZMNT.INI"), "[M]\r\nID=1\r\n\r\n[CONFIG]\r\nFile1=a.MEM\r\n\r\n");
}

TEST(Settings, AddRecentFileShiftsAndDropsTheOldest) {
    TempDir dir;
    const std::string path = dir.Write("KZMNT.INI", "[CONFIG]\r\nCOM=2\r\n");
    for (const char* file : {"1", "2", "3", "4", "5"}) {
        CSettings(path).AddRecentFile(file);
    }
    EXPECT_EQ(RecentList(path), "-,5,4,3,2,1,-");
    CSettings(path).AddRecentFile("6");
    EXPECT_EQ(RecentList(path), "-,6,5,4,3,2,-");
    EXPECT_EQ(CSettings(path).GetComPort(), 2);
}

TEST(Settings, AddRecentFileKeepsAPathAlreadyListed) {
    TempDir dir;
    const std::string original = "[CONFIG]\r\n; hand-written\r\nFile1=a\r\nFile2=b\r\nFile3=c\r\n";
    const std::string path = dir.Write("KZMNT.INI", original);
    CSettings(path).AddRecentFile("c");
    // Not rewritten: the comment is still there.
    EXPECT_EQ(dir.Read("KZMNT.INI"), original);
    // Case matters: "C" is a new path.
    CSettings(path).AddRecentFile("C");
    EXPECT_EQ(RecentList(path), "-,C,a,b,c,-,-");
}

TEST(Settings, AddRecentFileFillsGaps) {
    TempDir dir;
    const std::string path = dir.Write("KZMNT.INI", "[CONFIG]\r\nFile2=b\r\n");
    CSettings(path).AddRecentFile("new");
    // File2 is copied down to File3; with no File1 to move into it, File2 keeps its value.
    EXPECT_EQ(RecentList(path), "-,new,b,b,-,-,-");
}

// Time-outs are turned into ticks in int arithmetic: values beyond the limit are taken as
// the limit, and 0 (no time-out) and the defaults stay as they are.
struct TimeoutCase {
    const char* name;
    std::string config;
    int writeTimeout, readTimeout;
};

class SettingsTimeouts : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(SettingsTimeouts, StayWithinRange) {
    TempDir dir;
    CSettings s(dir.Write("KZMNT.INI", "[CONFIG]\r\n" + GetParam().config));
    EXPECT_EQ(s.GetWriteTimeout(), GetParam().writeTimeout);
    EXPECT_EQ(s.GetReadTimeout(), GetParam().readTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsTimeouts,
    ::testing::Values(TimeoutCase{"Defaults", "", 30, 10},
                      TimeoutCase{"Zero", "WriteTimeout=0\r\nReadTimeout=0\r\n", 0, 0},
                      TimeoutCase{"Limit", "WriteTimeout=65535\r\nReadTimeout=65535\r\n",
                                  CSettings::kMaxTimeoutSeconds, CSettings::kMaxTimeoutSeconds},
                      TimeoutCase{"OverflowsMilliseconds",
                                  "WriteTimeout=2147484\r\nReadTimeout=99999999999\r\n",
                                  CSettings::kMaxTimeoutSeconds, CSettings::kMaxTimeoutSeconds},
                      TimeoutCase{"Negative", "WriteTimeout=-1\r\nReadTimeout=-2147484\r\n", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A setter on a file it may not rewrite leaves the file alone and says why.
struct SaveCase {
    const char* name;
    std::string file;  // written as KZMNT.INI unless empty
    std::string path;  // the recent path to add
    bool saved;
    int error;
};

void PrintTo(const SaveCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsSave : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SettingsSave, KeepsAFileItCouldNotRead) {
    const auto& c = GetParam();
    TempDir dir;
    const std::string path = dir.str() + "KZMNT.INI";
    if (!c.file.empty()) {
        dir.Write("KZMNT.INI", c.file);
    }
    CSettings s(path);
    EXPECT_EQ(s.AddRecentFile(c.path), c.saved);
    EXPECT_EQ(s.SaveError(), c.error);
    if (!c.saved) {
        EXPECT_EQ(dir.Read("KZMNT.INI"), c.file);
        std::string recent;
        EXPECT_FALSE(CSettings(path).GetRecentFile(1, recent));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsSave,
    ::testing::Values(
        SaveCase{"MissingFileIsNotCreated", "", "a.mem", false, 0},
        SaveCase{"CrLf", "[M]\r\nID=1\r\n", "a.mem", true, 0},
        SaveCase{"LfOnly", "[M]\nID=1\n", "a.mem", true, 0},
        SaveCase{"CrOnly", "[M]\rID=1\r[PORTS]\rCOM1=/dev/ttyUSB0\r", "a.mem", false,
                 CSettings::kSaveUnreadable},
        SaveCase{"Binary",
                 std::string("\x7F"
                             "ELF\0\0[M]\n",
                             10),
                 "a.mem", false, CSettings::kSaveUnreadable},
        SaveCase{"NoLineAtAll", "COM=3 Bau=9600", "a.mem", false, CSettings::kSaveUnreadable},
        SaveCase{"LfInPath", "[CONFIG]\r\n", "a\nCOM=9", false, CSettings::kSaveLineBreak},
        SaveCase{"CrInPath", "[CONFIG]\r\n", "a\r", false, CSettings::kSaveLineBreak}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, SettersRefuseALineBreak) {
    TempDir dir;
    const std::string original = "[CONFIG]\r\nWORKPATH=/w\r\n";
    const std::string path = dir.Write("KZMNT.INI", original);
    CSettings s(path);
    EXPECT_FALSE(s.SetWorkPath("/x\nDEBUG=ON"));
    EXPECT_EQ(s.SaveError(), CSettings::kSaveLineBreak);
    EXPECT_EQ(s.GetWorkPath(), "/w");
    EXPECT_TRUE(s.SetComPort(2));
    EXPECT_EQ(s.SaveError(), 0);
    EXPECT_EQ(CSettings(path).GetWorkPath(), "/w");
}

struct PortCase {
    const char* name;
    std::string file;
    int port;
    std::string device;
};

class SettingsPorts : public ::testing::TestWithParam<PortCase> {};

TEST_P(SettingsPorts, MapPortNumbersToDevices) {
    TempDir dir;
    CSettings s(dir.Write("KZMNT.INI", GetParam().file));
    EXPECT_EQ(s.GetSerialDeviceName(GetParam().port), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SettingsPorts,
    ::testing::Values(PortCase{"NoFile", "", 1, platform::DefaultSerialDevice(1)},
                      PortCase{"Default", "[PORTS]\r\nCOM2=/dev/ttyUSB1\r\n", 3,
                               platform::DefaultSerialDevice(3)},
                      PortCase{"Mapped", "[PORTS]\r\nCOM3=/dev/ttyUSB0\r\n", 3, "/dev/ttyUSB0"},
                      PortCase{"Virtual", "[CONFIG]\r\nCOM=1\r\n[PORTS]\r\nCOM1=virtual:bench\r\n",
                               1, "virtual:bench"},
                      PortCase{"OnlyPortsSection", "[CONFIG]\r\nCOM1=x\r\n", 1,
                               platform::DefaultSerialDevice(1)},
                      PortCase{"NoPortZero", "", 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz

namespace kz {
namespace {

TEST(SettingsPortsWrite, SetterAddsOrReplacesTheMappingAndKeepsTheRest) {
    TempDir dir;
    dir.Write("KZMNT.INI", "[CONFIG]\r\nCOM=3\r\n[KZ-DEMO]\r\nID=8C93\r\n");
    CSettings s(dir.str() + "KZMNT.INI");
    ASSERT_TRUE(s.SetSerialDeviceName(3, "/dev/ttyUSB0"));
    ASSERT_TRUE(CSettings(dir.str() + "KZMNT.INI").SetSerialDeviceName(3, "/dev/pts/4"));
    CSettings again(dir.str() + "KZMNT.INI");
    EXPECT_TRUE(again.SetSerialDeviceName(1, "virtual:bench"));
    EXPECT_EQ(dir.Read("KZMNT.INI"),
              "[CONFIG]\r\nCOM=3\r\n\r\n[KZ-DEMO]\r\nID=8C93\r\n\r\n"
              "[PORTS]\r\nCOM3=/dev/pts/4\r\nCOM1=virtual:bench\r\n\r\n");
    EXPECT_FALSE(again.SetSerialDeviceName(0, "/dev/ttyUSB0"));
    EXPECT_FALSE(again.SetSerialDeviceName(2, "/dev/tty\nUSB0"));
    EXPECT_EQ(again.SaveError(), CSettings::kSaveLineBreak);
    EXPECT_EQ(CSettings(dir.str() + "KZMNT.INI").GetSerialDeviceName(2),
              platform::DefaultSerialDevice(2));
}

TEST(SettingsCreate, CreateIfMissingMakesTheFileAndKeepsEarlierChanges) {
    TempDir dir;
    const std::string path = dir.str() + "KZMNT.INI";
    CSettings s(path);
    s.SetCommType(1);  // in memory only
    ASSERT_TRUE(s.CreateIfMissing());
    EXPECT_TRUE(s.SetRetry(5));
    EXPECT_EQ(dir.Read("KZMNT.INI"), "[CONFIG]\r\nCOMMTYPE=1\r\nRetry=5\r\n\r\n");
    EXPECT_TRUE(s.CreateIfMissing());  // loaded now: nothing to do

    // An existing file is used as it is; an unreadable one and a missing folder are refused.
    CSettings existing(path);
    EXPECT_TRUE(existing.CreateIfMissing());
    EXPECT_EQ(existing.GetRetry(), 5);
    CSettings noFolder(dir.str() + "missing/KZMNT.INI");
    EXPECT_FALSE(noFolder.CreateIfMissing());
    EXPECT_EQ(noFolder.SaveError(), CSettings::kSaveFailed);
    std::filesystem::create_directory(dir.path() / "IS_A_DIR");
    CSettings folder(dir.str() + "IS_A_DIR");
    EXPECT_FALSE(folder.CreateIfMissing());
    EXPECT_EQ(folder.SaveError(), CSettings::kSaveUnreadable);
    dir.Write("BINARY.INI", std::string("\0\1\2", 3));
    CSettings binary(dir.str() + "BINARY.INI");
    EXPECT_FALSE(binary.CreateIfMissing());
    EXPECT_EQ(dir.Read("BINARY.INI"), std::string("\0\1\2", 3));
}

}  // namespace
}  // namespace kz

namespace kz {
namespace {

TEST(SettingsPortsMap, ListsTheComKeysOfPortsOnly) {
    TempDir dir;
    CSettings s(dir.Write("KZMNT.INI",
                          "[CONFIG]\r\nCOM=2\r\nCOM5=/dev/x\r\n[PORTS]\r\nCOM3=/dev/ttyUSB0\r\n"
                          "COM0=/dev/zero\r\nCOMX=/dev/y\r\nCOM3=/dev/ttyUSB9\r\n"
                          "COM12=/dev/serial/by-id/usb-A\r\n"));
    const std::vector<std::pair<int, std::string>> expected = {{3, "/dev/ttyUSB0"},
                                                               {12, "/dev/serial/by-id/usb-A"}};
    EXPECT_EQ(s.GetSerialPortMap(), expected);
    EXPECT_TRUE(CSettings(dir.str() + "none.ini").GetSerialPortMap().empty());
}

TEST(Settings, WindowPlacementRoundTripsAndRefusesBadValues) {
    TempDir dir;
    const std::string ini = dir.Write("KZMNT.INI", "[CONFIG]\r\nCOM=2\r\n");
    ASSERT_TRUE(CSettings(ini).SetWindowPlacement({-40, 30, 800, 600}));
    const auto read = CSettings(ini).GetWindowPlacement();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->x, -40);
    EXPECT_EQ(read->y, 30);
    EXPECT_EQ(read->width, 800);
    EXPECT_EQ(read->height, 600);
    EXPECT_EQ(CSettings(ini).GetComPort(), 2);  // the rest of the file stays

    // Each of these is ignored as a whole rather than read as a number.
    const char* const bad[] = {
        "X=10\nY=10\nWIDTH=0\nHEIGHT=300\n",    "X=10\nY=10\nWIDTH=-5\nHEIGHT=300\n",
        "X=ab\nY=10\nWIDTH=500\nHEIGHT=300\n",  "X=10\nY=10\nWIDTH=500\n",
        "X=10\nY=1e3\nWIDTH=500\nHEIGHT=300\n", "X=10\nY=10\nWIDTH=500\nHEIGHT=9999999\n",
        "X=-\nY=10\nWIDTH=500\nHEIGHT=300\n",   "X=200000\nY=10\nWIDTH=500\nHEIGHT=300\n",
        "X= 10\nY=10\nWIDTH=500\nHEIGHT=300\n",
    };
    for (const char* keys : bad) {
        const std::string path = dir.Write("bad.ini", std::string("[WINDOW]\n") + keys);
        EXPECT_FALSE(CSettings(path).GetWindowPlacement().has_value()) << keys;
    }
}

TEST(Settings, LastFileIsKeptPerPurpose) {
    TempDir dir;
    const std::string ini = dir.Write("KZMNT.INI", "");
    EXPECT_EQ(CSettings(ini).GetLastFile("BACKUP"), "");
    ASSERT_TRUE(CSettings(ini).SetLastFile("BACKUP", "/data/a.mem"));
    ASSERT_TRUE(CSettings(ini).SetLastFile("CFSEND", "/data/cf"));
    ASSERT_TRUE(CSettings(ini).SetLastFile("BACKUP", "/data/b.mem"));
    CSettings settings(ini);
    EXPECT_EQ(settings.GetLastFile("BACKUP"), "/data/b.mem");
    EXPECT_EQ(settings.GetLastFile("CFSEND"), "/data/cf");
    EXPECT_EQ(settings.GetLastFile("RESTORE"), "");
    EXPECT_FALSE(settings.SetLastFile("RESTORE", "/data/x\nFile1=/etc"));
    EXPECT_EQ(settings.SaveError(), CSettings::kSaveLineBreak);
    EXPECT_FALSE(settings.SetLastFile("", "/data/x"));
}

}  // namespace
}  // namespace kz
