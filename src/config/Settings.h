// The user settings: section CONFIG of "KZMNT.INI" in the program folder, one getter per
// key and one setter per key the user can change. A reader loads the file when it is made
// and is meant to live for one task; every setter rewrites the whole file at once, so the
// next reader sees the change. Nothing is cached between readers.
//
// A missing file is not an error: every getter returns its default, and setters change
// only the in-memory copy (the file is not created unless CreateIfMissing() is called). A file that exists but could not be
// read as an INI file is never written over (see CIniFile): its setters fail and say why
// through SaveError(), so that the caller can tell the user.
//
// Section PORTS (optional) maps COM port numbers to device names on this platform:
//   [PORTS]
//   COM3=/dev/ttyUSB0
//   COM1=virtual:bench
//
// Thread-safety: a reader belongs to the thread that made it; readers on different threads
// may exist at the same time (the last one to save wins).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/IniFile.h"
#include "config/MessageIds.h"

namespace kz {

class CSettings : public CIniFile {
  public:
    // Why the last setter did not save (SaveError(); 0 when it did):
    // The file could not be read; it was left as it is.
    static constexpr int kSaveUnreadable = msg::kIniUnreadable;
    // The file could not be written.
    static constexpr int kSaveFailed = msg::kIniNotWritten;
    // The value holds a CR or LF; it was not stored.
    static constexpr int kSaveLineBreak = msg::kIniLineBreak;

    // Time-outs above this many seconds are taken as this: the value is turned into
    // milliseconds and ticks in int arithmetic. The setup dialog accepts 0 to 65535.
    static constexpr int kMaxTimeoutSeconds = 65535;

    // Loads kz::platform::ProgramFolder() + "KZMNT.INI".
    CSettings();
    explicit CSettings(const std::string& iniPath);

    // The path this reader loaded from (also when the file was missing).
    const std::string& IniPath() const { return m_iniPath; }

    // COM: the port number; 1 when missing or negative. The setter writes a negative
    // number as 1.
    int GetComPort();
    bool SetComPort(int port);

    // Bau: stored in bit/s, handled as an index 0..3 (9600, 19200, 38400, other/115200).
    // Missing: 2.
    int GetBaudIndex();
    bool SetBaudIndex(int index);
    // 0 -> 9600, 1 -> 19200, 2 -> 38400, anything else -> 115200.
    static std::uint32_t BaudFromIndex(int index);

    // Reply time-outs in seconds, kept within 0 (no time-out) to kMaxTimeoutSeconds.
    // Missing: 30 and 10.
    int GetWriteTimeout();
    bool SetWriteTimeout(int seconds);
    int GetReadTimeout();
    bool SetReadTimeout(int seconds);
    // Retry count of the serial commands, as read. Missing: 3.
    int GetRetry();
    bool SetRetry(int count);

    // File<n> (n = 1..5, newest first): true and the path when the key exists.
    bool GetRecentFile(int n, std::string& path);
    // Puts path at the head of the recent list, dropping the oldest of five. A path that is
    // already in the list keeps its place and the file is not rewritten (true). A path with
    // a line break is refused and the list is left as it was.
    bool AddRecentFile(const std::string& path);

    // WORKPATH: the working folder of the file dialogs; empty when missing.
    std::string GetWorkPath();
    bool SetWorkPath(const std::string& path);

    // COMMTYPE: 0 serial, 1 LAN. Missing: 0.
    int GetCommType();
    // SAFETYBACKUP: the folder a restore first backs the panel up into, relative to the
    // program folder unless absolute; empty when the key is missing or empty (no safety
    // backup).
    std::string GetSafetyBackupFolder();
    bool SetCommType(int type);

    // DISPMODE: true (simple layout) when non-zero or missing.
    bool GetDispMode();
    bool SetDispMode(int mode);

    // AUTOFILENAME: true when non-zero; false when missing.
    bool GetAutoFileName();
    bool SetAutoFileName(int on);

    // DEBUG: true only for the exact value "ON".
    bool GetDebug();

    // CF_SIZE (hex, missing 0) and CF_WAIT (decimal, missing 3000).
    std::uint32_t GetCfSize();
    int GetCfWait();

    // The program folder followed by the RESOURCE value, or the program folder alone when
    // the key is missing.
    std::string GetResourcePath();

    // The device to open for COM port n: the value of COM<n> in section PORTS, else the
    // platform's default ("/dev/ttyS<n-1>", on Windows "COM<n>"). Empty for n < 1 (no such port), so opening it fails.
    std::string GetSerialDeviceName(int port);
    // The COM ports section PORTS names, in file order: (n, device) of every key COM<n>
    // with n >= 1.
    std::vector<std::pair<int, std::string>> GetSerialPortMap();
    // Maps COM port n (n >= 1) to device in section PORTS (added when missing). False for
    // n < 1 or a device with a line break (kSaveLineBreak), or when the file was not saved.
    bool SetSerialDeviceName(int port, const std::string& device);

    // Section LASTFILE: the file or folder last chosen for one use of the file selection
    // (purpose is the key, such as "BACKUP"); empty when missing.
    std::string GetLastFile(const std::string& purpose);
    // False for an empty purpose or a path with a line break (kSaveLineBreak), or when the
    // file was not saved.
    bool SetLastFile(const std::string& purpose, const std::string& path);

    // Section WINDOW: the main window's position and size in pixels (keys X, Y, WIDTH,
    // HEIGHT). nullopt unless all four are decimal whole numbers, the size is at least 1 and
    // at most kMaxWindowExtent, and the position within +-kMaxWindowExtent.
    static constexpr int kMaxWindowExtent = 100000;
    struct WindowPlacement {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };
    std::optional<WindowPlacement> GetWindowPlacement();
    bool SetWindowPlacement(const WindowPlacement& placement);

    // Lets the setters save where KZMNT.INI does not exist yet: creates the file (empty)
    // and holds on to it, keeping what was changed in memory so far. True when the setters
    // can now save: the file was loaded, or has just been created. False, with SaveError()
    // set, when it cannot be created (kSaveFailed) or exists but was not read
    // (kSaveUnreadable: it is left alone).
    bool CreateIfMissing();

    // Every setter returns true when the file now holds the change. On false, SaveError()
    // is the string id of the reason, or 0 when there is no file to write (missing: the
    // change stays in memory only, as documented above).
    int SaveError() const { return m_nSaveError; }

  private:
    // The CONFIG key's value, or nullptr when the section or the key is missing.
    const std::string* Find(const char* key);
    // Replaces the key's value, appends the key, or appends section CONFIG with the key;
    // then saves.
    bool Set(const char* key, const std::string& value);
    bool SetNumber(const char* key, int value);
    // Replaces or appends key in section (appended when missing), then saves.
    bool SetIn(const char* section, const std::string& key, const std::string& value);
    // Saves the file and records why it failed.
    bool SaveSettings();
    int GetNumber(const char* key, int missing);

    std::string m_iniPath;
    int m_nSaveError = 0;
};

}  // namespace kz
