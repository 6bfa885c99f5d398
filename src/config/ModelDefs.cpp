#include "config/ModelDefs.h"

#include <algorithm>
#include <cstdio>

#include "platform/ProgramFolder.h"

namespace kz {

namespace {

constexpr std::size_t kCoreIdLength = 4;

template <typename... Args>
void Trace(const CoreIdTracer& trace, const char* format, Args... args) {
    if (!trace) {
        return;
    }
    char line[128];
    std::snprintf(line, sizeof(line), format, args...);
    trace(line);
}

const CIniKey* KeyOf(const CIniSection* section, std::string_view key) {
    return section == nullptr ? nullptr : section->FindKey(key);
}

template <typename Fits>
const CIniSection* FirstModel(const CIniFile& ini, Fits fits) {
    for (const CIniSection& section : ini.AllSections()) {
        if (CModelDefs::IsModel(section) && fits(section)) {
            return &section;
        }
    }
    return nullptr;
}

}  // namespace

bool SignatureRule::Fits(int kindRead, std::uint32_t valueRead) const {
    if (!kind || !value || *kind != kindRead) {
        return false;
    }
    if (cond == "EQ") {
        return valueRead == *value;
    }
    if (cond == "NE") {
        return valueRead != *value;
    }
    return false;
}

CModelDefs::CModelDefs() : CModelDefs(platform::ProgramFolder() + "KZMNT.INI") {}

CModelDefs::CModelDefs(const std::string& iniPath) {
    m_ini.Load(iniPath);
}

bool CModelDefs::CheckCoreID(std::string_view coreId, std::string_view pattern,
                             const CoreIdTracer& trace) {
    const std::string a(coreId.substr(0, kCoreIdLength));
    const std::string p(pattern.substr(0, kCoreIdLength));
    const std::size_t n = std::min(a.size(), p.size());
    Trace(trace, "    CProtocol::CheckCoreID =[%s , %s]\n", a.c_str(), p.c_str());
    Trace(trace, "      nSize = [%d]\n", static_cast<int>(n));
    const std::size_t aFrom = a.size() - n;
    const std::size_t pFrom = p.size() - n;
    for (std::size_t i = 0; i < n; ++i) {
        const char ca = a[aFrom + i];
        const char cp = p[pFrom + i];
        Trace(trace, "      [%c] ? [%c]\n", ca, cp);
        if (ca != '*' && cp != '*' && ca != cp) {
            Trace(trace, "      miss Match]\n");
            return false;
        }
    }
    Trace(trace, "      Match\n");
    return true;
}

bool CModelDefs::IsModel(const CIniSection& section) {
    return section.FindKey("ID") != nullptr;
}

std::vector<const CIniSection*> CModelDefs::Models() const {
    std::vector<const CIniSection*> models;
    for (const CIniSection& section : m_ini.AllSections()) {
        if (IsModel(section)) {
            models.push_back(&section);
        }
    }
    return models;
}

const CIniSection* CModelDefs::FindByCoreID(std::string_view coreId) const {
    return FirstModel(m_ini, [&](const CIniSection& section) {
        return CheckCoreID(coreId, Text(&section, "ID"), m_tracer);
    });
}

const CIniSection* CModelDefs::FindByCoreIDAndSignature(std::string_view coreId, int kind,
                                                        std::uint32_t value) const {
    return FirstModel(m_ini, [&](const CIniSection& section) {
        if (!CheckCoreID(coreId, Text(&section, "ID"), m_tracer)) {
            return false;
        }
        const auto rule = Signature(&section);
        return rule && rule->Fits(kind, value);
    });
}

const CIniSection* CModelDefs::FindByName(std::string_view name) const {
    return FirstModel(m_ini, [&](const CIniSection& section) { return section.Name() == name; });
}

const CIniSection* CModelDefs::FindByImage(std::string_view imageCoreId,
                                           std::string_view ioCode) const {
    return FirstModel(m_ini, [&](const CIniSection& section) {
        if (!CheckCoreID(imageCoreId, Text(&section, "ID"), m_tracer)) {
            return false;
        }
        if (ioCode.empty()) {
            return true;
        }
        const CIniKey* key = section.FindKey("IOCODE");
        return key != nullptr && key->Value() == ioCode;
    });
}

bool CModelDefs::Has(const CIniSection* section, std::string_view key) {
    return KeyOf(section, key) != nullptr;
}

std::string CModelDefs::Text(const CIniSection* section, std::string_view key) {
    const CIniKey* found = KeyOf(section, key);
    return found == nullptr ? std::string() : found->Value();
}

bool CModelDefs::Field(const CIniSection* section, std::string_view key, int index,
                       std::string& out, std::size_t bufferSize) {
    out.clear();
    const CIniKey* found = KeyOf(section, key);
    if (found == nullptr) {
        return false;
    }
    CFieldSplitter splitter;
    splitter.Split(found->Value());
    return splitter.GetField(index, out, bufferSize);
}

bool CModelDefs::HexField(const CIniSection* section, std::string_view key, int index,
                          std::uint32_t& out, std::size_t bufferSize) {
    std::string field;
    return Field(section, key, index, field, bufferSize) && IniScanHex(field, out);
}

bool CModelDefs::DecField(const CIniSection* section, std::string_view key, int index, int& out,
                          std::size_t bufferSize) {
    std::string field;
    return Field(section, key, index, field, bufferSize) && IniScanDec(field, out);
}

std::uint32_t CModelDefs::Unit(const CIniSection* section) {
    std::uint32_t unit = 0;
    if (!HexField(section, "OFFSET", 0, unit) || unit == 0) {
        return kDefaultTransferUnit;
    }
    return unit;
}

std::vector<MemAreaText> CModelDefs::AreaTexts(const CIniSection* section) {
    std::vector<MemAreaText> areas;
    if (section == nullptr) {
        return areas;
    }
    for (int type : {kAreaFrom, kAreaSram}) {
        const char* prefix = type == kAreaFrom ? "FROM" : "SRAM";
        for (int n = 1; areas.size() < kMaxMemAreas; ++n) {
            MemAreaText area;
            area.type = type;
            area.key = prefix + std::to_string(n);
            if (!Has(section, area.key)) {
                break;
            }
            Field(section, area.key, 0, area.start, kAreaFieldBufferSize);
            Field(section, area.key, 1, area.size, kAreaFieldBufferSize);
            if (type == kAreaSram) {
                Field(section, area.key, 2, area.verifySize, kAreaFieldBufferSize);
            }
            areas.push_back(std::move(area));
        }
    }
    return areas;
}

AreaCheck CModelDefs::CheckAreas(const CIniSection* section, std::vector<MemArea>& areas,
                                 std::uint32_t& unit) {
    areas.clear();
    unit = kDefaultTransferUnit;
    AreaCheck check;
    const auto fail = [&](AreaFault fault, std::string key) {
        areas.clear();
        check.fault = fault;
        check.key = std::move(key);
        return check;
    };
    // An empty OFFSET, like a missing one or 0, gives the default unit.
    std::string offset;
    Field(section, "OFFSET", 0, offset);
    if (offset.find_first_not_of(" \t") != std::string::npos) {
        std::uint32_t value = 0;
        if (!IniParseHex(offset, value)) {
            return fail(AreaFault::BadUnit, "OFFSET");
        }
        if (value != 0) {
            unit = value;
        }
    }
    for (int type : {kAreaFrom, kAreaSram}) {
        const char* prefix = type == kAreaFrom ? "FROM" : "SRAM";
        for (int n = 1;; ++n) {
            const std::string key = prefix + std::to_string(n);
            if (!Has(section, key)) {
                break;
            }
            if (areas.size() == kMaxMemAreas) {
                return fail(AreaFault::TooMany, key);
            }
            MemArea area;
            area.type = type;
            std::string start, size, verify;
            if (!Field(section, key, 0, start, kAreaFieldBufferSize) ||
                !Field(section, key, 1, size, kAreaFieldBufferSize) ||
                !IniParseHex(start, area.start) || !IniParseHex(size, area.size) ||
                area.size == 0) {
                return fail(AreaFault::BadArea, key);
            }
            if (type == kAreaSram) {
                // A missing or empty verify size means: nothing of the area is compared.
                Field(section, key, 2, verify, kAreaFieldBufferSize);
                if (verify.find_first_not_of(" \t") != std::string::npos &&
                    !IniParseHex(verify, area.verifySize)) {
                    return fail(AreaFault::BadArea, key);
                }
            } else {
                area.verifySize = area.size;
            }
            // The backup reads at least one whole unit of every area.
            const std::uint64_t end =
                std::uint64_t{area.start} + std::max<std::uint64_t>(area.size, unit);
            if (end > std::uint64_t{0x100000000}) {
                return fail(AreaFault::Wraps, key);
            }
            areas.push_back(area);
        }
    }
    if (areas.empty()) {
        return fail(AreaFault::NoAreas, {});
    }
    return check;
}

std::vector<MemArea> CModelDefs::Areas(const CIniSection* section) {
    std::vector<MemArea> areas;
    for (const MemAreaText& text : AreaTexts(section)) {
        MemArea area;
        area.type = text.type;
        IniScanHex(text.start, area.start);
        IniScanHex(text.size, area.size);
        if (text.type == kAreaSram) {
            IniScanHex(text.verifySize, area.verifySize);
        } else {
            area.verifySize = area.size;
        }
        areas.push_back(area);
    }
    return areas;
}

std::optional<SignatureRule> CModelDefs::Signature(const CIniSection* section) {
    if (!Has(section, "SIGNATURE")) {
        return std::nullopt;
    }
    SignatureRule rule;
    int kind = 0;
    if (DecField(section, "SIGNATURE", 0, kind)) {
        rule.kind = kind;
    }
    std::uint32_t value = 0;
    if (HexField(section, "SIGNATURE", 1, value)) {
        rule.value = value;
    }
    Field(section, "SIGNATURE", 2, rule.cond);
    return rule;
}

std::optional<IoParams> CModelDefs::Io(const CIniSection* section, std::string_view key) {
    if (!Has(section, key)) {
        return std::nullopt;
    }
    IoParams io;
    HexField(section, key, 0, io.address);
    DecField(section, key, 1, io.count);
    HexField(section, key, 2, io.value);
    return io;
}

std::optional<MemSizes> CModelDefs::CheckMem(const CIniSection* section) {
    if (!Has(section, "CHKMEM")) {
        return std::nullopt;
    }
    MemSizes sizes;
    HexField(section, "CHKMEM", 0, sizes.from);
    HexField(section, "CHKMEM", 1, sizes.sram);
    return sizes;
}

std::optional<std::uint32_t> CModelDefs::ModelBaud(const CIniSection* section) {
    const CIniKey* key = KeyOf(section, "BAU");
    if (key == nullptr) {
        return std::nullopt;
    }
    switch (const int rate = IniAtoi(key->Value()); rate) {
        case 9600:
        case 19200:
        case 38400:
        case 115200:
            return static_cast<std::uint32_t>(rate);
        default:
            return std::nullopt;
    }
}

std::uint32_t CModelDefs::SelectBaud(const CIniSection* section, std::uint32_t current) {
    return ModelBaud(section).value_or(current);
}

}  // namespace kz
