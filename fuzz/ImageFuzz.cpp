// The backup image header and its area table: any bytes as a "*.MEM" file. The header is
// read field by field, the area plan of a restore or verify is made for it against a model
// whose areas are the image's own table (so the plan reaches the length checks) and
// against a fixed model, and the image is compared with itself and with a valid image.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/IniFile.h"
#include "ops/memory/ImageAreas.h"
#include "ops/memory/ImageDiff.h"
#include "ops/memory/MemImageFile.h"

namespace {

using kz::MemImageFile;

// A model section whose keys come from areas (or a fixed pair when there are none).
std::string ModelIni(const std::vector<kz::MemArea>& areas, std::uint32_t unit) {
    std::string text = "[KZ-FUZZ]\r\nID=**93\r\n";
    if (unit != 0) {
        text += "OFFSET=" + kz::fuzz::Hex(unit) + "\r\n";
    }
    int from = 0;
    int sram = 0;
    for (const kz::MemArea& a : areas) {
        if (a.type == kz::kAreaFrom) {
            text += "FROM" + std::to_string(++from) + "=" + kz::fuzz::Hex(a.start) + "," +
                    kz::fuzz::Hex(a.size) + "\r\n";
        } else {
            text += "SRAM" + std::to_string(++sram) + "=" + kz::fuzz::Hex(a.start) + "," +
                    kz::fuzz::Hex(a.size) + "," + kz::fuzz::Hex(a.verifySize) + "\r\n";
        }
    }
    if (areas.empty()) {
        text += "FROM1=0,100\r\nSRAM1=400000,40,40\r\n";
    }
    return text;
}

void Plan(const MemImageFile& image, const std::string& path, const std::string& iniText) {
    const std::string iniPath = kz::fuzz::WriteScratchFile("KZMNT.INI", iniText);
    kz::CIniFile ini;
    if (!ini.Load(iniPath)) {
        std::abort();
    }
    const kz::CIniSection* section = ini.FindSection("KZ-FUZZ");
    for (auto old : {kz::OldImageAreas::Model, kz::OldImageAreas::ModelFrom,
                     kz::OldImageAreas::RecordedFrom}) {
        const kz::AreaPlan plan = kz::ImageAreaPlan(image, path, section, old);
        if (plan.error == 0) {
            for (std::size_t i = 0; i < plan.areas.size(); ++i) {
                (void)kz::ImageOffsetOf(plan.areas, plan.imageUnit, static_cast<int>(i));
                (void)kz::AreaName(plan.areas, i);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string valid = [] {
        MemImageFile image;
        image.SetFileName(kz::fuzz::ScratchFolder() + "VALID.MEM");
        image.SetHeaderKind(kz::kImageHeaderKind);
        image.SetHeaderFormat(kz::kImageHeaderFormat);
        image.SetModelName("KZ-FUZZ");
        image.SetDescriptorVersion();
        image.SetCoreID("8C93");
        image.SetUnit(0x40);
        const std::vector<kz::MemArea> areas{{kz::kAreaFrom, 0, 0x100, 0x100},
                                             {kz::kAreaSram, 0x400000, 0x40, 0x40}};
        image.SetAreas(areas);
        if (!image.WriteHeader() ||
            !image.AppendImageData(std::vector<std::uint8_t>(0x140, 0x5A))) {
            std::abort();
        }
        image.CloseFiles();
        return image.FileName();
    }();
    const std::string path = kz::fuzz::WriteScratchFile("FUZZ.MEM", data, size);
    MemImageFile image;
    if (image.LoadHeader(path) != (size >= kz::kImageHeaderSize)) {
        std::abort();
    }
    (void)image.HeaderKind();
    (void)image.FromSize();
    (void)image.SramSize();
    (void)image.DescriptorVersion();
    (void)image.GetImageCoreID();
    (void)image.GetImageCoreIDText();
    (void)image.GetImageIOCode();
    (void)image.GetImageIOCodeText();
    (void)image.GetImageComment();
    (void)image.GetImageModelName();
    (void)image.Signature();
    const std::vector<kz::MemArea> areas = image.Areas();
    if (areas.size() > kz::kImageMaxAreas) {
        std::abort();
    }
    (void)image.DataSize();
    std::uint8_t bytes[64];
    (void)image.ReadImageData(0, bytes, sizeof bytes);
    (void)image.ReadImageData(image.DataSize(), bytes, 1);
    image.CloseFiles();

    Plan(image, path, ModelIni(areas, image.Unit()));
    Plan(image, path, ModelIni({}, 0x40));

    (void)kz::CompareImages(path, path);
    (void)kz::CompareImages(path, valid);
    (void)kz::CompareImages(valid, path);
    return 0;
}
