#include "config/Settings.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/ProgramFolder.h"
#include "platform/SerialPorts.h"

namespace kz {

namespace {

constexpr const char* kIniFileName = "KZMNT.INI";
constexpr const char* kConfigSection = "CONFIG";
constexpr const char* kPortsSection = "PORTS";
constexpr const char* kLastFileSection = "LASTFILE";
constexpr const char* kWindowSection = "WINDOW";
constexpr int kRecentFiles = 5;

std::string RecentKey(int n) {
    return "File" + std::to_string(n);
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

CSettings::CSettings() : CSettings(platform::ProgramFolder() + kIniFileName) {}

CSettings::CSettings(const std::string& iniPath) : m_iniPath(iniPath) {
    Load(iniPath);
}

const std::string* CSettings::Find(const char* key) {
    CIniSection* section = FindSection(kConfigSection);
    if (section == nullptr) {
        return nullptr;
    }
    const CIniKey* found = section->FindKey(key);
    return found == nullptr ? nullptr : &found->Value();
}

bool CSettings::SaveSettings() {
    m_nSaveError = 0;
    if (Save()) {
        return true;
    }
    if (ContentUnreadable() || LoadResult() == kReadShort) {
        m_nSaveError = kSaveUnreadable;
    } else if (FilePath().empty()) {
        // Never loaded: nothing to report when the file simply does not exist.
        std::error_code ec;
        if (std::filesystem::exists(m_iniPath, ec) || ec) {
            m_nSaveError = kSaveUnreadable;
        }
    } else {
        m_nSaveError = kSaveFailed;
    }
    return false;
}

bool CSettings::Set(const char* key, const std::string& value) {
    if (HasLineBreak(value)) {
        m_nSaveError = kSaveLineBreak;
        return false;
    }
    CIniSection* section = FindSection(kConfigSection);
    if (section == nullptr) {
        AddSection(kConfigSection)->AddKey(key, value);
    } else if (CIniKey* found = section->FindKey(key)) {
        found->SetValue(value);
    } else {
        section->AddKey(key, value);
    }
    return SaveSettings();
}

bool CSettings::SetNumber(const char* key, int value) {
    return Set(key, std::to_string(value));
}

int CSettings::GetNumber(const char* key, int missing) {
    const std::string* value = Find(key);
    return value == nullptr ? missing : IniAtoi(*value);
}

int CSettings::GetComPort() {
    const int port = GetNumber("COM", 1);
    return port < 0 ? 1 : port;
}

bool CSettings::SetComPort(int port) {
    return SetNumber("COM", port < 0 ? 1 : port);
}

int CSettings::GetBaudIndex() {
    const std::string* value = Find("Bau");
    if (value == nullptr) {
        return 2;
    }
    switch (IniAtoi(*value)) {
        case 9600:
            return 0;
        case 19200:
            return 1;
        case 38400:
            return 2;
        default:
            return 3;
    }
}

bool CSettings::SetBaudIndex(int index) {
    return SetNumber("Bau", static_cast<int>(BaudFromIndex(index)));
}

std::uint32_t CSettings::BaudFromIndex(int index) {
    switch (index) {
        case 0:
            return 9600;
        case 1:
            return 19200;
        case 2:
            return 38400;
        default:
            return 115200;
    }
}

int CSettings::GetWriteTimeout() {
    return std::clamp(GetNumber("WriteTimeout", 30), 0, kMaxTimeoutSeconds);
}

bool CSettings::SetWriteTimeout(int seconds) {
    return SetNumber("WriteTimeout", seconds);
}

int CSettings::GetReadTimeout() {
    return std::clamp(GetNumber("ReadTimeout", 10), 0, kMaxTimeoutSeconds);
}

bool CSettings::SetReadTimeout(int seconds) {
    return SetNumber("ReadTimeout", seconds);
}

int CSettings::GetRetry() {
    return GetNumber("Retry", 3);
}

bool CSettings::SetRetry(int count) {
    return SetNumber("Retry", count);
}

bool CSettings::GetRecentFile(int n, std::string& path) {
    if (n < 1 || n > kRecentFiles) {
        return false;
    }
    const std::string* value = Find(RecentKey(n).c_str());
    if (value == nullptr) {
        return false;
    }
    path = *value;
    return true;
}

bool CSettings::AddRecentFile(const std::string& path) {
    m_nSaveError = 0;
    // Written raw, a line break would turn the rest of the path into a key of its own.
    if (HasLineBreak(path)) {
        m_nSaveError = kSaveLineBreak;
        return false;
    }
    CIniSection* section = FindSection(kConfigSection);
    if (section == nullptr) {
        AddSection(kConfigSection)->AddKey(RecentKey(1), path);
        return SaveSettings();
    }
    for (int n = 1; n <= kRecentFiles; ++n) {
        const CIniKey* key = section->FindKey(RecentKey(n));
        if (key != nullptr && key->Value() == path) {
            return true;
        }
    }
    // Shift from the bottom up so that each value is copied before it is overwritten; the
    // old File5 falls off the end.
    for (int n = kRecentFiles - 1; n >= 1; --n) {
        const CIniKey* from = section->FindKey(RecentKey(n));
        if (from == nullptr) {
            continue;
        }
        std::string value = from->Value();
        if (CIniKey* to = section->FindKey(RecentKey(n + 1))) {
            to->SetValue(std::move(value));
        } else {
            section->AddKey(RecentKey(n + 1), std::move(value));
        }
    }
    if (CIniKey* first = section->FindKey(RecentKey(1))) {
        first->SetValue(path);
    } else {
        section->AddKey(RecentKey(1), path);
    }
    return SaveSettings();
}

std::string CSettings::GetWorkPath() {
    const std::string* value = Find("WORKPATH");
    return value == nullptr ? std::string() : *value;
}

bool CSettings::SetWorkPath(const std::string& path) {
    return Set("WORKPATH", path);
}

std::string CSettings::GetSafetyBackupFolder() {
    const std::string* value = Find("SAFETYBACKUP");
    if (value == nullptr || value->empty()) {
        return {};
    }
    return std::filesystem::path(*value).is_absolute() ? *value
                                                       : platform::ProgramFolder() + *value;
}

int CSettings::GetCommType() {
    return GetNumber("COMMTYPE", 0);
}

bool CSettings::SetCommType(int type) {
    return SetNumber("COMMTYPE", type);
}

bool CSettings::GetDispMode() {
    return GetNumber("DISPMODE", 1) != 0;
}

bool CSettings::SetDispMode(int mode) {
    return SetNumber("DISPMODE", mode);
}

bool CSettings::GetAutoFileName() {
    return GetNumber("AUTOFILENAME", 0) != 0;
}

bool CSettings::SetAutoFileName(int on) {
    return SetNumber("AUTOFILENAME", on);
}

bool CSettings::GetDebug() {
    const std::string* value = Find("DEBUG");
    return value != nullptr && *value == "ON";
}

std::uint32_t CSettings::GetCfSize() {
    std::uint32_t size = 0;
    if (const std::string* value = Find("CF_SIZE")) {
        IniScanHex(*value, size);
    }
    return size;
}

int CSettings::GetCfWait() {
    return GetNumber("CF_WAIT", 3000);
}

std::string CSettings::GetResourcePath() {
    std::string path = platform::ProgramFolder();
    if (const std::string* value = Find("RESOURCE")) {
        path += *value;
    }
    return path;
}

std::string CSettings::GetSerialDeviceName(int port) {
    if (port < 1) {
        return {};
    }
    if (CIniSection* section = FindSection(kPortsSection)) {
        if (const CIniKey* key = section->FindKey("COM" + std::to_string(port))) {
            return key->Value();
        }
    }
    return platform::DefaultSerialDevice(port);
}

std::vector<std::pair<int, std::string>> CSettings::GetSerialPortMap() {
    std::vector<std::pair<int, std::string>> ports;
    CIniSection* section = FindSection(kPortsSection);
    if (section == nullptr) {
        return ports;
    }
    for (const CIniKey& key : section->AllKeys()) {
        const std::string& name = key.Name();
        if (name.size() < 4 || name.size() > 9 || name.compare(0, 3, "COM") != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos) {
            continue;
        }
        const int port = std::stoi(name.substr(3));
        if (port >= 1 && GetSerialDeviceName(port) == key.Value()) {
            ports.emplace_back(port, key.Value());  // the first of duplicate keys counts
        }
    }
    return ports;
}

bool CSettings::SetSerialDeviceName(int port, const std::string& device) {
    m_nSaveError = 0;
    if (port < 1) {
        return false;
    }
    if (HasLineBreak(device)) {
        m_nSaveError = kSaveLineBreak;
        return false;
    }
    const std::string key = "COM" + std::to_string(port);
    CIniSection* section = FindSection(kPortsSection);
    if (section == nullptr) {
        section = AddSection(kPortsSection);
    }
    if (CIniKey* found = section->FindKey(key)) {
        found->SetValue(device);
    } else {
        section->AddKey(key, device);
    }
    return SaveSettings();
}

bool CSettings::SetIn(const char* sectionName, const std::string& key, const std::string& value) {
    m_nSaveError = 0;
    if (HasLineBreak(value)) {
        m_nSaveError = kSaveLineBreak;
        return false;
    }
    CIniSection* section = FindSection(sectionName);
    if (section == nullptr) {
        section = AddSection(sectionName);
    }
    if (CIniKey* found = section->FindKey(key)) {
        found->SetValue(value);
    } else {
        section->AddKey(key, value);
    }
    return SaveSettings();
}

std::string CSettings::GetLastFile(const std::string& purpose) {
    if (CIniSection* section = FindSection(kLastFileSection)) {
        if (const CIniKey* key = section->FindKey(purpose)) {
            return key->Value();
        }
    }
    return {};
}

bool CSettings::SetLastFile(const std::string& purpose, const std::string& path) {
    if (purpose.empty()) {
        m_nSaveError = 0;
        return false;
    }
    return SetIn(kLastFileSection, purpose, path);
}

std::optional<CSettings::WindowPlacement> CSettings::GetWindowPlacement() {
    CIniSection* section = FindSection(kWindowSection);
    if (section == nullptr) {
        return std::nullopt;
    }
    // Strict decimal: a value edited by hand into something else is ignored, not read as 0.
    auto number = [section](const char* name, int low, int high) -> std::optional<int> {
        const CIniKey* key = section->FindKey(name);
        if (key == nullptr) {
            return std::nullopt;
        }
        const std::string& text = key->Value();
        const std::size_t digits = text.starts_with('-') ? 1 : 0;
        if (text.size() <= digits || text.size() > digits + 6 ||
            text.find_first_not_of("0123456789", digits) != std::string::npos) {
            return std::nullopt;
        }
        const int value = std::stoi(text);
        if (value < low || value > high) {
            return std::nullopt;
        }
        return value;
    };
    const auto x = number("X", -kMaxWindowExtent, kMaxWindowExtent);
    const auto y = number("Y", -kMaxWindowExtent, kMaxWindowExtent);
    const auto width = number("WIDTH", 1, kMaxWindowExtent);
    const auto height = number("HEIGHT", 1, kMaxWindowExtent);
    if (!x || !y || !width || !height) {
        return std::nullopt;
    }
    return WindowPlacement{*x, *y, *width, *height};
}

bool CSettings::SetWindowPlacement(const WindowPlacement& placement) {
    return SetIn(kWindowSection, "X", std::to_string(placement.x)) &&
           SetIn(kWindowSection, "Y", std::to_string(placement.y)) &&
           SetIn(kWindowSection, "WIDTH", std::to_string(placement.width)) &&
           SetIn(kWindowSection, "HEIGHT", std::to_string(placement.height));
}

bool CSettings::CreateIfMissing() {
    m_nSaveError = 0;
    if (!FilePath().empty()) {
        if (ContentUnreadable()) {
            m_nSaveError = kSaveUnreadable;
            return false;
        }
        return true;
    }
    std::error_code ec;
    if (LoadResult() != kOpenFailed || std::filesystem::exists(m_iniPath, ec) || ec) {
        m_nSaveError = kSaveUnreadable;
        return false;
    }
    // "x": never truncate a file that another program created in the meantime.
    if (std::FILE* file = std::fopen(m_iniPath.c_str(), "wbx")) {
        std::fclose(file);
    } else if (!std::filesystem::exists(m_iniPath, ec)) {
        m_nSaveError = kSaveFailed;
        return false;
    }
    // Loading drops the sections held in memory; they are put back on top of what the file
    // holds now.
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> held;
    for (const CIniSection& section : AllSections()) {
        auto& copy =
            held.emplace_back(section.Name(), std::vector<std::pair<std::string, std::string>>{});
        for (const CIniKey& key : section.AllKeys()) {
            copy.second.emplace_back(key.Name(), key.Value());
        }
    }
    if (!Load(m_iniPath) || ContentUnreadable()) {
        m_nSaveError = kSaveUnreadable;
        return false;
    }
    if (held.empty()) {
        return true;
    }
    for (auto& [name, keys] : held) {
        CIniSection* section = FindSection(name);
        if (section == nullptr) {
            section = AddSection(name);
        }
        for (auto& [key, value] : keys) {
            if (CIniKey* found = section->FindKey(key)) {
                found->SetValue(value);
            } else {
                section->AddKey(key, value);
            }
        }
    }
    return SaveSettings();
}

}  // namespace kz
