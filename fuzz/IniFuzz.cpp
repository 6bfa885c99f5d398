// The INI engine and the model definitions read from it: any bytes as "KZMNT.INI". Every
// model section is asked every question the operations ask. A file the engine agrees to
// write back must read back as the same sections and keys.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/IniFile.h"
#include "config/ModelDefs.h"

namespace {

using kz::CIniFile;
using kz::CIniSection;
using kz::CModelDefs;

struct Snapshot {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const CIniFile& ini) {
    Snapshot s;
    for (const CIniSection& section : ini.AllSections()) {
        auto& keys = s.sections.emplace_back(section.Name(),
                                             decltype(s.sections)::value_type::second_type{});
        for (const auto& key : section.AllKeys()) {
            keys.second.emplace_back(key.Name(), key.Value());
        }
    }
    return s;
}

void AskModel(const CModelDefs& defs, const CIniSection* section) {
    std::vector<kz::MemArea> areas;
    std::uint32_t unit = 0;
    (void)CModelDefs::CheckAreas(section, areas, unit);
    (void)CModelDefs::Areas(section);
    (void)CModelDefs::AreaTexts(section);
    (void)CModelDefs::Unit(section);
    if (auto rule = CModelDefs::Signature(section)) {
        (void)rule->Fits(1, 0x8C930001);
    }
    for (const char* key : {"IO1", "IO2", "IO3"}) {
        (void)CModelDefs::Io(section, key);
    }
    (void)CModelDefs::CheckMem(section);
    (void)CModelDefs::ModelBaud(section);
    (void)CModelDefs::SelectBaud(section, 38400);
    const std::string id = CModelDefs::Text(section, "ID");
    (void)CModelDefs::CheckCoreID("8C93", id);
    (void)CModelDefs::CheckCoreID(id, id);
    (void)defs.FindByCoreID(id);
    (void)defs.FindByCoreIDAndSignature(id, 1, 0x8C930001);
    (void)defs.FindByName(section->Name());
    (void)defs.FindByImage(id, "3C");
    std::string field;
    int dec = 0;
    std::uint32_t hex = 0;
    for (int i = -1; i < 4; ++i) {
        (void)CModelDefs::Field(section, "ILOADER", i, field);
        (void)CModelDefs::DecField(section, "BAU", i, dec);
        (void)CModelDefs::HexField(section, "FROM1", i, hex, kz::kAreaFieldBufferSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = kz::fuzz::WriteScratchFile("KZMNT.INI", data, size);
    CIniFile ini;
    if (!ini.Load(path)) {
        std::abort();  // a regular file we just wrote always loads
    }
    const Snapshot loaded = Take(ini);
    for (const CIniSection& section : ini.AllSections()) {
        for (const auto& key : section.AllKeys()) {
            char buffer[8];
            (void)key.GetValue(buffer, sizeof buffer);
            kz::CFieldSplitter split;
            split.Split(key.Value());
            for (int i = 0; i < split.Count(); ++i) {
                std::string out;
                (void)split.GetField(i, out, 32);
            }
            (void)kz::IniAtoi(key.Value());
            int dec = 0;
            std::uint32_t hex = 0;
            (void)kz::IniScanDec(key.Value(), dec);
            (void)kz::IniScanHex(key.Value(), hex);
            (void)kz::IniParseHex(key.Value(), hex);
        }
    }
    {
        CModelDefs defs(path);
        for (const CIniSection* section : defs.Models()) {
            AskModel(defs, section);
        }
    }
    // What the engine writes back reads back the same.
    if (ini.Save()) {
        CIniFile again;
        if (!again.Load(path) || again.ContentUnreadable() || !(Take(again) == loaded)) {
            std::abort();
        }
    }
    return 0;
}
