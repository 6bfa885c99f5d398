// The plan both links' memory operations share: the area plan an image is checked against
// before a restore or a verify moves data, the model of an image under each link's rule, and
// the data phase's walk over areas, units and packets.
#include "ops/memory/MemoryPlan.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"
#include "support/TempDir.h"
#include "support/TestFolder.h"

namespace kz {
namespace {

using test::IniText;
using test::TempDir;

// FROM at 10000, an SRAM area smaller than the unit (compared over 4000 bytes) and one of a
// whole unit. The image stores the small area as a whole unit: 40000 data bytes.
IniText Model(const std::string& offset = "10000") {
    IniText ini;
    ini.Section("T")
        .Key("ID", "8C93")
        .Key("OFFSET", offset)
        .Key("FROM1", "10000,20000")
        .Key("SRAM1", "400000,8000,4000")
        .Key("SRAM2", "500000,10000,10000");
    return ini;
}
constexpr std::uint64_t kDataBytes = 0x40000;

std::vector<MemArea> ModelAreas() {
    return {{kAreaFrom, 0x10000, 0x20000, 0},
            {kAreaSram, 0x400000, 0x8000, 0x4000},
            {kAreaSram, 0x500000, 0x10000, 0x10000}};
}

// ---- The area plan -----------------------------------------------------------------------------

struct AreaCase {
    const char* name;
    std::function<void(MemImageFile&)> change;  // applied to a header that fits the model
    std::int64_t extraBytes = 0;                // data bytes past what the header promises
    OldImageAreas oldFormat = OldImageAreas::Model;
    int error = 0;
    std::vector<MemArea> areas = {};  // the plan's areas when there is no error
    std::string offset = "10000";     // the model's OFFSET
};

class AreaPlanTest : public ::testing::TestWithParam<AreaCase> {};

// Refused before any data moves, for both links alike: a table that is not the model's, a
// file that does not hold exactly what the table promises, a model whose areas do not read.
// An old-format image takes its areas from the model as each link's rule says.
TEST_P(AreaPlanTest, ChecksTheImageAgainstTheModel) {
    const AreaCase& c = GetParam();
    TempDir dir;
    const std::string ini = dir.Write("KZMNT.INI", Model(c.offset).str());
    CModelDefs defs(ini);
    MemImageFile image;
    image.SetHeaderFormat(kImageHeaderFormat);
    image.SetModelName("T");
    image.SetUnit(0x10000);
    image.SetAreas(ModelAreas());
    c.change(image);
    const std::string path = dir.str() + "i.mem";
    image.SetFileName(path);
    ASSERT_TRUE(image.WriteHeader());
    const auto data = static_cast<std::int64_t>(kDataBytes) + c.extraBytes;
    ASSERT_TRUE(image.AppendImageData(std::string(static_cast<std::size_t>(data), '\0').data(),
                                      static_cast<std::size_t>(data)));
    MemImageFile loaded;
    ASSERT_TRUE(loaded.LoadHeader(path));

    const AreaPlan plan = ImageAreaPlan(loaded, path, defs.FindByName("T"), c.oldFormat);
    EXPECT_EQ(plan.error, c.error);
    EXPECT_EQ(plan.lines.empty(),
              c.error == 0 || c.error == msg::kImageTooShort || c.error == msg::kImageTooLong);
    ASSERT_EQ(plan.areas.size(), c.areas.size());
    for (std::size_t i = 0; i < c.areas.size(); ++i) {
        EXPECT_EQ(plan.areas[i].type, c.areas[i].type) << i;
        EXPECT_EQ(plan.areas[i].start, c.areas[i].start) << i;
        EXPECT_EQ(plan.areas[i].size, c.areas[i].size) << i;
    }
}

void Keep(MemImageFile&) {}
// An old-format image: no usable table, the FROM size it recorded.
std::function<void(MemImageFile&)> Old(std::uint32_t fromSize) {
    return [fromSize](MemImageFile& i) {
        i.SetHeaderFormat(1);
        i.SetFromSize(fromSize);
    };
}
std::function<void(MemImageFile&)> Record(std::size_t index, MemArea area) {
    return [index, area](MemImageFile& i) { i.SetArea(index, area); };
}

const MemArea kFrom{kAreaFrom, 0x10000, 0x20000, 0};

INSTANTIATE_TEST_SUITE_P(
    Images, AreaPlanTest,
    ::testing::Values(
        AreaCase{"TheModels", Keep, 0, OldImageAreas::Model, 0, ModelAreas()},
        AreaCase{"AreaLeftOut", [](MemImageFile& i) { i.SetAreaCount(2); }, 0, OldImageAreas::Model,
                 msg::kImageAreasDiffer},
        AreaCase{"OtherType", Record(0, {kAreaSram, 0x10000, 0x20000, 0}), 0, OldImageAreas::Model,
                 msg::kImageAreasDiffer},
        AreaCase{"OtherStart", Record(1, {kAreaSram, 0x400100, 0x8000, 0}), 0, OldImageAreas::Model,
                 msg::kImageAreasDiffer},
        AreaCase{"OtherSize", Record(2, {kAreaSram, 0x500000, 0x8000, 0}), 0, OldImageAreas::Model,
                 msg::kImageAreasDiffer},
        AreaCase{"ByteMissing", Keep, -1, OldImageAreas::Model, msg::kImageTooShort},
        AreaCase{"ByteLeftOver", Keep, 1, OldImageAreas::Model, msg::kImageTooLong},
        AreaCase{"ModelUnitBroken",
                 Keep,
                 0,
                 OldImageAreas::Model,
                 msg::kModelAreasInvalid,
                 {},
                 "-10000"},
        // Old images may hold more than their areas need.
        AreaCase{"OldTakesTheModels", Old(0x20000), 1, OldImageAreas::Model, 0, ModelAreas()},
        AreaCase{"OldTakesTheModelsFrom", Old(0x20000), 0, OldImageAreas::ModelFrom, 0, {kFrom}},
        AreaCase{"OldTakesTheRecordedFrom",
                 Old(0x18000),
                 0,
                 OldImageAreas::RecordedFrom,
                 0,
                 {{kAreaFrom, 0x10000, 0x18000, 0}}},
        AreaCase{"OldRecordedFromWraps", Old(0xFFFF8000), 0, OldImageAreas::RecordedFrom,
                 msg::kImageAreasDiffer},
        AreaCase{"OldRecordedFromTooLong", Old(0x48000), 0, OldImageAreas::RecordedFrom,
                 msg::kImageTooShort}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The model of an image ---------------------------------------------------------------------

// The serial rule looks at the image's I/O code, the LAN rule takes the first model of the
// core ID; an old image names its model.
TEST(ImageModel, EachLinkFindsItsModel) {
    TempDir dir;
    CModelDefs defs(dir.Write("KZMNT.INI", IniText()
                                               .Section("C3")
                                               .Key("ID", "8C93")
                                               .Key("IOCODE", "C3")
                                               .Section("C4")
                                               .Key("ID", "8C93")
                                               .Key("IOCODE", "C4")
                                               .str()));
    MemImageFile image;
    image.SetHeaderFormat(kImageHeaderFormat);
    image.SetCoreID("8C93");
    image.SetIOCode("C4");
    const ImageModel serial = FindImageModel(image, defs, ImageModelRule::CoreIdAndIoCode);
    const ImageModel lan = FindImageModel(image, defs, ImageModelRule::StoredCoreId);
    ASSERT_TRUE(serial.section && lan.section);
    EXPECT_EQ(serial.section->Name(), "C4");
    EXPECT_EQ(serial.ioCode, "C4");
    EXPECT_EQ(lan.section->Name(), "C3");
    EXPECT_EQ(lan.ioCode, "");

    image.SetCoreID("1234");
    EXPECT_FALSE(FindImageModel(image, defs, ImageModelRule::CoreIdAndIoCode).section);
    EXPECT_FALSE(FindImageModel(image, defs, ImageModelRule::StoredCoreId).section);

    image.SetHeaderFormat(1);
    image.SetModelName("  C4 ");
    const ImageModel old = FindImageModel(image, defs, ImageModelRule::StoredCoreId);
    ASSERT_TRUE(old.section);
    EXPECT_EQ(old.section->Name(), "C4");
    EXPECT_EQ(old.coreId, "8C93");
}

// ---- The data phase ----------------------------------------------------------------------------

// A link that reads in packets of 8000 bytes and writes whole units; it logs every request
// as "<start> <address> <size> @<image offset>" (start: Area, Packet or Unit).
class PlanProbe : public CMemoryPlan {
  public:
    using CMemoryPlan::EnterNextArea;
    using CMemoryPlan::PlanBackupAreas;
    using CMemoryPlan::PlanRestore;
    using CMemoryPlan::PlanVerify;
    using CMemoryPlan::SettleImage;
    using CMemoryPlan::StartBackupImage;

    // Runs the data phase as the step tables do; the requests, then "close" or the error.
    std::string Walk() {
        const std::string zeros(0x10000, '\0');
        const auto* data = reinterpret_cast<const std::uint8_t*>(zeros.data());
        for (;;) {
            next_ = DataStep::Transfer;  // a next-area step that does not jump goes on
            int error = EnterNextArea();
            while (error == 0 && next_ == DataStep::Transfer) {
                error = TransferDone(data, size_);
            }
            if (error != 0 || next_ == DataStep::Close) {
                return log_ + (error != 0 ? std::to_string(error) : "close");
            }
        }
    }

    std::vector<std::string> lines;
    std::vector<int> progress;
    // The bytes the progress heard of: the total announced, the areas in turn, the sum moved.
    std::uint64_t transferTotal = 0;
    std::uint64_t moved = 0;
    std::vector<std::string> areas;

  protected:
    void ReportLine(const std::string& text) override { lines.push_back(text); }
    void ReportProgress(int percent) override { progress.push_back(percent); }
    void ReportTransferStart(std::uint64_t total) override { transferTotal = total; }
    void ReportTransferArea(const std::string& area) override {
        if (areas.empty() || areas.back() != area) {
            areas.push_back(area);
        }
    }
    void ReportTransferMoved(std::uint32_t bytes) override { moved += bytes; }
    const std::string& CurrentModel() const override { return model_; }
    void GoToDataStep(DataStep step) override { next_ = step; }
    void SetupRequest(RequestStart start) override {
        size_ =
            Job() == MemoryJob::Restore ? UnitLeft() : std::min<std::uint32_t>(UnitLeft(), 0x8000);
        log_ += Format("%c %X %X @%llX | ", "APU"[static_cast<int>(start)], Address(), size_,
                       static_cast<unsigned long long>(FileOffset()));
    }

  private:
    std::string model_ = "T";
    DataStep next_ = DataStep::Transfer;
    std::uint32_t size_ = 0;
    std::string log_;
};

// The backup reads a whole unit even of an area smaller than the unit and stores exactly
// what its header promises; the verify compares the small SRAM area over its verify size and
// the restore writes it as it is, each at the offset the image's layout gives that area, so
// nothing after it is shifted.
TEST(DataPhase, WalksEveryAreaWhereTheImageHoldsIt) {
    test::TestFolder folder({}, Model().str());
    const std::string path = folder.Path("i.mem");
    {
        PlanProbe backup;
        backup.SetFileName(path);
        ASSERT_EQ(backup.PlanBackupAreas(), 0);
        BackupIdentity identity;
        identity.modelName = "T";
        ASSERT_EQ(backup.StartBackupImage(identity), 0);
        EXPECT_EQ(backup.Walk(),
                  "A 10000 8000 @0 | P 18000 8000 @8000 | U 20000 8000 @10000 | "
                  "P 28000 8000 @18000 | A 400000 8000 @20000 | P 408000 8000 @28000 | "
                  "A 500000 8000 @30000 | P 508000 8000 @38000 | close");
        ASSERT_EQ(backup.SettleImage(0), 0);
        // The small SRAM area is read as a whole unit: the bytes counted are those read.
        EXPECT_EQ(backup.transferTotal, kDataBytes);
        EXPECT_EQ(backup.moved, backup.transferTotal);
        EXPECT_EQ(backup.areas, (std::vector<std::string>{"FEPROM", "SRAM"}));
    }
    EXPECT_EQ(folder.dir().Read("i.mem").size(), kImageHeaderSize + kDataBytes);

    PlanProbe verify;
    verify.SetFileName(path);
    ASSERT_EQ(verify.PlanVerify(0x10000, OldImageAreas::RecordedFrom, 0x10000), 0);
    EXPECT_EQ(verify.Walk(),
              "A 10000 8000 @0 | P 18000 8000 @8000 | U 20000 8000 @10000 | "
              "P 28000 8000 @18000 | A 400000 4000 @20000 | A 500000 8000 @30000 | "
              "P 508000 8000 @38000 | close");
    const std::string progress = GetString(msg::kVerifyProgress);
    EXPECT_EQ(verify.lines, (std::vector<std::string>{
                                Format(progress.c_str(), 1, 4), Format(progress.c_str(), 2, 4),
                                Format(progress.c_str(), 3, 4), Format(progress.c_str(), 4, 4)}));
    EXPECT_EQ(verify.progress, (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(verify.transferTotal, 0x34000u);  // the SRAM areas over their verify sizes
    EXPECT_EQ(verify.moved, verify.transferTotal);

    PlanProbe restore;
    restore.SetFileName(path);
    ASSERT_EQ(restore.PlanRestore(0x8000, OldImageAreas::Model, 0x10000), 0);
    EXPECT_EQ(restore.Walk(),
              "A 10000 8000 @0 | U 18000 8000 @8000 | U 20000 8000 @10000 | "
              "U 28000 8000 @18000 | A 400000 8000 @20000 | A 500000 8000 @30000 | "
              "U 508000 8000 @38000 | close");
    EXPECT_EQ(restore.progress.back(), 100);
    EXPECT_EQ(restore.moved, restore.transferTotal);
}

}  // namespace
}  // namespace kz
