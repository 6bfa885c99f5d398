#include "ops/memory/MemoryPlan.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "ops/memory/FileSelection.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

namespace {

std::string Line(int id, const std::string& path) {
    return Format(GetString(id).c_str(), path.c_str());
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

void TraceLine(const char* line) {
    TraceMessage("KZmnt", "%s", line);
}

int ProgressId(MemoryJob job) {
    switch (job) {
        case MemoryJob::Backup:
            return msg::kBackupProgress;
        case MemoryJob::Restore:
            return msg::kRestoreProgress;
        case MemoryJob::Verify:
            break;
    }
    return msg::kVerifyProgress;
}

}  // namespace

// ---- Free functions ------------------------------------------------------------------------

ImageModel FindImageModel(const MemImageFile& image, const CModelDefs& defs, ImageModelRule rule) {
    ImageModel model;
    if (image.HasAreaTable()) {
        if (rule == ImageModelRule::CoreIdAndIoCode) {
            model.coreId = Format("%X", image.GetImageCoreID());
            if (image.GetImageIOCode() != 0) {
                model.ioCode = Format("%02X", image.GetImageIOCode());
            }
            model.section = defs.FindByImage(model.coreId, model.ioCode);
        } else {
            model.coreId = image.GetImageCoreIDText();
            model.section = defs.FindByCoreID(model.coreId);
        }
        return model;
    }
    // Old images carry no usable table: the model is the one they name.
    model.section = defs.FindByName(Trimmed(image.GetImageModelName()));
    if (model.section) {
        model.coreId = CModelDefs::Text(model.section, "ID");
    }
    return model;
}

void SetVerifySizes(std::vector<MemArea>& areas, const CIniSection* section) {
    int sramIndex = 0;
    for (MemArea& area : areas) {
        if (area.type != kAreaSram) {
            continue;
        }
        ++sramIndex;
        std::uint32_t verifySize = 0;
        CModelDefs::HexField(section, "SRAM" + std::to_string(sramIndex), 2, verifySize,
                             kAreaFieldBufferSize);
        area.verifySize = std::min(verifySize, area.size);
    }
}

std::uint32_t BytesToMove(MemoryJob job, const MemArea& area) {
    return job == MemoryJob::Verify && area.type == kAreaSram ? area.verifySize : area.size;
}

std::uint64_t DataPhaseBytes(MemoryJob job, const std::vector<MemArea>& areas, std::uint32_t unit) {
    std::uint64_t total = 0;
    for (const MemArea& area : areas) {
        const std::uint32_t bytes = BytesToMove(job, area);
        if (bytes > 0) {
            total += job == MemoryJob::Backup ? StoredAreaLength(bytes, unit) : bytes;
        }
    }
    return total;
}

int UnitsToCount(MemoryJob job, const std::vector<MemArea>& areas, std::uint32_t unit) {
    int units = 0;
    for (const MemArea& area : areas) {
        const std::uint64_t bytes = BytesToMove(job, area);
        units +=
            static_cast<int>(job == MemoryJob::Backup ? bytes / unit : (bytes + unit - 1) / unit);
    }
    return std::max(units, 1);
}

// ---- CMemoryPlan: identification -------------------------------------------------------------

CMemoryPlan::CMemoryPlan() {
    m_defs.SetTracer(TraceLine);
}

CMemoryPlan::~CMemoryPlan() = default;

const CIniSection* CMemoryPlan::LoadImageModel(ImageModelRule rule) {
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    ImageModel model = FindImageModel(m_image, m_defs, rule);
    m_csImageCoreID = std::move(model.coreId);
    m_csImageIOCode = std::move(model.ioCode);
    return model.section;
}

bool CMemoryPlan::NeedsHardwareRead() {
    const CIniSection* section = Section();
    if (!section || CModelDefs::Has(section, "CHKMEM")) {
        ReportLine(GetString(msg::kHardwareCheck));
        return true;
    }
    return false;
}

bool CMemoryPlan::PanelFitsImageCoreId(const char* trace) const {
    if (trace != nullptr) {
        TraceMessage("KZmnt", "%s", trace);
        TraceMessage("KZmnt", "  [%s] = [%s]\n", m_csPanelPattern.c_str(), m_csImageCoreID.c_str());
    }
    return m_csPanelPattern.empty() ||
           CModelDefs::CheckCoreID(m_csImageCoreID, m_csPanelPattern, TraceLine);
}

int CMemoryPlan::CompareImageSizes(bool known, std::uint32_t fromSize,
                                   std::uint32_t sramSize) const {
    if (!known) {
        return 0;
    }
    if (fromSize != m_image.FromSize()) {
        return msg::kFepromSize;
    }
    return sramSize != m_image.SramSize() ? msg::kSramSize : 0;
}

// ---- Restore and verify ----------------------------------------------------------------------

int CMemoryPlan::PlanImageAreas(OldImageAreas oldFormat) {
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    AreaPlan plan = ImageAreaPlan(m_image, m_csFileName, Section(), oldFormat);
    for (const std::string& line : plan.lines) {
        ReportLine(line);
    }
    m_areas = std::move(plan.areas);
    m_dwImageUnit = plan.imageUnit;
    return plan.error;
}

int CMemoryPlan::BeginDataPhase(MemoryJob job, std::uint32_t unit, std::size_t bufferSize) {
    m_job = job;
    m_dwUnit = unit;
    m_nTotalUnits = UnitsToCount(job, m_areas, unit);
    m_nAreaIndex = 0;
    m_nUnitsDone = 0;
    m_dwFileOffset = 0;
    ReportTransferStart(DataPhaseBytes(job, m_areas, unit));
    if (bufferSize == 0) {
        return 0;
    }
    m_pchData.reset(new (std::nothrow) std::uint8_t[bufferSize]);
    m_nDataSize = m_pchData ? bufferSize : 0;
    return m_pchData ? 0 : msg::kNoMemory;
}

int CMemoryPlan::PlanRestore(std::uint32_t unit, OldImageAreas oldFormat, std::size_t bufferSize) {
    const int error = PlanImageAreas(oldFormat);
    return error != 0 ? error : BeginDataPhase(MemoryJob::Restore, unit, bufferSize);
}

int CMemoryPlan::PlanVerify(std::uint32_t unit, OldImageAreas oldFormat, std::size_t bufferSize) {
    const int error = PlanImageAreas(oldFormat);
    if (error != 0) {
        return error;
    }
    SetVerifySizes(m_areas, Section());
    m_pDiff = m_bEveryDifference ? std::make_unique<DiffCollector>() : nullptr;
    return BeginDataPhase(MemoryJob::Verify, unit, bufferSize);
}

// ---- Backup ------------------------------------------------------------------------------------

int CMemoryPlan::PlanBackupAreas() {
    AreaPlan plan = ModelAreaPlan(Section());
    for (const std::string& line : plan.lines) {
        ReportLine(line);
    }
    m_areas = std::move(plan.areas);
    m_dwUnit = plan.imageUnit;
    return plan.error;
}

int CMemoryPlan::NameAutoBackup(const std::string& bkFileStem, const std::string& autoNameText) {
    if (m_bExactFileName || !CSettings().GetAutoFileName()) {
        return 0;
    }
    // The stem comes from the definitions or the dialog: it names a file in the chosen
    // folder and nothing else.
    if (!bkFileStem.empty() && !IsPlainFileName(bkFileStem)) {
        ReportLine(Format(GetString(msg::kBkFileNotPlain).c_str(), Printable(bkFileStem).c_str()));
        return msg::kBackupNameInvalid;
    }
    m_csFileName = AutoBackupFileName(m_csFileName, bkFileStem, std::string_view(autoNameText));
    return 0;
}

int CMemoryPlan::StartBackupImage(const BackupIdentity& id) {
    TraceMessage("KZmnt", "  BackupFile = [%s]\n", m_csFileName.c_str());
    // An existing image keeps its header kind and model name; everything the backup writes
    // is replaced. The old file itself stays untouched until the new one is complete.
    m_image = MemImageFile();
    m_image.StartBackupHeader(m_csFileName, id.modelName);
    m_image.SetHeaderFormat(kImageHeaderFormat);
    m_image.SetDescriptorVersion();
    m_image.SetCoreID(id.coreId);
    if (id.signature) {
        m_image.SetSignature(*id.signature);
    }
    m_image.SetIOCode(id.ioCode);
    m_image.SetComment(m_csComment);
    m_image.SetUnit(m_dwUnit);
    m_image.SetAreas(m_areas);
    // Without the panel's sizes the header records the model's first FROM and SRAM areas.
    std::uint32_t firstFrom = 0;
    std::uint32_t firstSram = 0;
    m_nExpectedBytes = 0;
    for (const MemArea& area : m_areas) {
        m_nExpectedBytes += StoredAreaLength(area.size, m_dwUnit);
        if (area.type == kAreaFrom && firstFrom == 0) {
            firstFrom = area.size;
        } else if (area.type == kAreaSram && firstSram == 0) {
            firstSram = area.size;
        }
    }
    m_image.SetFromSize(id.hardwareKnown ? id.fromSize : firstFrom);
    m_image.SetSramSize(id.hardwareKnown ? id.sramSize : firstSram);
    m_dwImageUnit = m_dwUnit;

    // The data goes to "<name>.partial", made afresh by this run and held by it until the
    // end; a target that is not a regular file is never replaced.
    if (const platform::PathKind kind = platform::KindOfPath(m_csFileName);
        kind != platform::PathKind::Missing && kind != platform::PathKind::Regular &&
        kind != platform::PathKind::Unknown) {
        ReportLine(Line(msg::kTargetNotRegular, m_csFileName));
        return msg::kFileWrite;
    }
    const std::string partial = PartialImagePath(m_csFileName);
    m_nResumeFrom = 0;
    if (m_bResume) {
        if (const int error = ResumeBackupImage(partial); error != 0) {
            return error;
        }
        return BeginDataPhase(MemoryJob::Backup, m_dwUnit, 0);
    }
    switch (m_image.CreatePartial(partial)) {
        case MemImageFile::PartialStart::Created:
            break;
        case MemImageFile::PartialStart::Busy:
            ReportLine(Line(msg::kBackupBusy, m_csFileName));
            return msg::kFileWrite;
        case MemImageFile::PartialStart::NotPlain:
        case MemImageFile::PartialStart::Failed:
            ReportLine(Line(msg::kPartialNotCreated, partial));
            return msg::kFileWrite;
    }
    return BeginDataPhase(MemoryJob::Backup, m_dwUnit, 0);
}

std::uint64_t CMemoryPlan::ResumePoint(std::uint64_t length) const {
    // A backup reads each area unit by unit, the first unit whole even of a smaller area,
    // so the data consists of whole units but for the end of each area.
    std::uint64_t offset = 0;
    for (const MemArea& area : m_areas) {
        const std::uint64_t stored = StoredAreaLength(area.size, m_dwUnit);
        if (length >= offset + stored) {
            offset += stored;
            continue;
        }
        return offset + (length - offset) / m_dwUnit * m_dwUnit;
    }
    return offset;
}

int CMemoryPlan::ResumeBackupImage(const std::string& partial) {
    std::uint64_t kept = 0;
    const auto keep = [this](std::uint64_t length) { return ResumePoint(length); };
    switch (m_image.ResumePartial(partial, keep, &kept)) {
        case MemImageFile::PartialResume::Resumed:
            m_nResumeFrom = kept;
            ReportLine(Format(GetString(msg::kResumeFrom).c_str(), partial.c_str(),
                              std::to_string(kept).c_str()));
            return 0;
        case MemImageFile::PartialResume::Missing:
            ReportLine(Line(msg::kResumeNoPartial, partial));
            break;
        case MemImageFile::PartialResume::Busy:
            ReportLine(Line(msg::kBackupBusy, m_csFileName));
            break;
        case MemImageFile::PartialResume::HeaderDiffers:
            ReportLine(Line(msg::kResumeDiffers, partial));
            break;
        case MemImageFile::PartialResume::NotPlain:
        case MemImageFile::PartialResume::Failed:
            ReportLine(Line(msg::kResumeUnusable, partial));
            break;
    }
    return msg::kResumeRefused;
}

int CMemoryPlan::SettleImage(int error) {
    if (!m_image.PartialOpen()) {
        return error;
    }
    if (error == 0) {
        switch (m_image.CommitPartial(m_csFileName, m_nExpectedBytes)) {
            case MemImageFile::Replace::Done:
                break;
            case MemImageFile::Replace::TargetNotRegular:
                ReportLine(Line(msg::kTargetNotRegular, m_csFileName));
                error = msg::kFileWrite;
                break;
            case MemImageFile::Replace::NotOurs:
                ReportLine(Line(msg::kPartialReplaced, m_image.PartialPath()));
                error = msg::kFileWrite;
                break;
            case MemImageFile::Replace::Incomplete:
            case MemImageFile::Replace::Failed:
                error = msg::kFileWrite;
                break;
        }
    }
    // The data read so far stays for the user; only a file that is still this run's is
    // named as holding it.
    if (error != 0 && m_image.PartialIsOurs()) {
        ReportLine(Line(msg::kPartialImage, m_image.PartialPath()));
    }
    m_image.ReleasePartial();
    return error;
}

// ---- The data phase ------------------------------------------------------------------------------

bool CMemoryPlan::TakeNextArea() {
    while (m_nAreaIndex < static_cast<int>(m_areas.size())) {
        const MemArea& area = m_areas[static_cast<std::size_t>(m_nAreaIndex)];
        // Every area's data lies where the image's layout puts it, so an area moved in part
        // or passed over never shifts the areas after it.
        m_dwFileOffset = ImageOffsetOf(m_areas, m_dwImageUnit, m_nAreaIndex);
        ++m_nAreaIndex;
        const std::uint32_t bytes = BytesToMove(m_job, area);
        if (bytes < 1) {
            continue;
        }
        m_dwAddress = area.start;
        m_nBytesLeft = bytes;
        ReportTransferArea(
            GetString(area.type == kAreaSram ? msg::kProgressSram : msg::kProgressFeprom));
        // A backup reads a whole unit even of an area smaller than the unit.
        m_nUnitLeft = m_job == MemoryJob::Backup ? m_dwUnit : std::min(bytes, m_dwUnit);
        if (m_job == MemoryJob::Backup && m_nResumeFrom > m_dwFileOffset) {
            // A resumed backup has this area's first units already (or all of it).
            const std::uint64_t stored = StoredAreaLength(area.size, m_dwUnit);
            const std::uint64_t have = std::min(m_nResumeFrom - m_dwFileOffset, stored);
            if (have == stored) {
                m_nUnitsDone += static_cast<int>((stored + m_dwUnit - 1) / m_dwUnit);
                continue;
            }
            m_dwAddress += static_cast<std::uint32_t>(have);
            m_dwFileOffset += have;
            m_nBytesLeft -= static_cast<std::int64_t>(have);
            m_nUnitLeft =
                static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, m_dwUnit));
            m_nUnitsDone += static_cast<int>(have / m_dwUnit);
        }
        return true;
    }
    return false;
}

CMemoryPlan::PacketResult CMemoryPlan::PacketDone(std::uint32_t bytes) {
    ReportTransferMoved(bytes);
    m_dwAddress += bytes;
    m_dwFileOffset += bytes;
    m_nUnitLeft -= std::min(bytes, m_nUnitLeft);
    m_nBytesLeft -= bytes;
    if (m_nUnitLeft > 0) {
        // Every byte of the unit is moved before it counts.
        return PacketResult::NextPacket;
    }
    ++m_nUnitsDone;
    ReportProgress(m_nUnitsDone * 100 / m_nTotalUnits);
    if (m_nBytesLeft > 0) {
        m_nUnitLeft = static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, m_dwUnit));
        return PacketResult::NextUnit;
    }
    return PacketResult::AreaDone;
}

int CMemoryPlan::EnterNextArea() {
    if (!TakeNextArea()) {
        if (m_pDiff) {
            if (const int error = ReportDifferences(); error != 0) {
                return error;
            }
        }
        GoToDataStep(DataStep::Close);
        return 0;
    }
    return StartRequest(RequestStart::Area);
}

int CMemoryPlan::TransferDone(const std::uint8_t* data, std::uint32_t bytes) {
    m_nBytesMoved += bytes;
    int error = 0;
    if (m_job == MemoryJob::Backup) {
        error = m_image.AppendImageData(data, bytes) ? 0 : msg::kFileWrite;
    } else if (m_job == MemoryJob::Verify) {
        error = CompareWithImage(data, bytes);
    }
    if (error != 0) {
        return error;
    }
    switch (PacketDone(bytes)) {
        case PacketResult::NextPacket:
            SetupRequest(RequestStart::Packet);
            GoToDataStep(DataStep::Transfer);
            return 0;
        case PacketResult::NextUnit:
            error = StartRequest(RequestStart::Unit);
            if (error == 0) {
                GoToDataStep(DataStep::Transfer);
            }
            return error;
        case PacketResult::AreaDone:
            break;
    }
    GoToDataStep(DataStep::NextArea);
    return 0;
}

int CMemoryPlan::StartRequest(RequestStart start) {
    SetupRequest(start);
    if (m_job == MemoryJob::Restore) {
        return LoadUnit();
    }
    ProgressLine();
    return 0;
}

void CMemoryPlan::ProgressLine() {
    ReportLine(Format(GetString(ProgressId(m_job)).c_str(), m_nUnitsDone + 1, m_nTotalUnits));
}

int CMemoryPlan::LoadUnit() {
    if (m_nUnitLeft > m_nDataSize ||
        !m_image.ReadImageData(m_dwFileOffset, m_pchData.get(), m_nUnitLeft)) {
        // Never write what was not read from the image.
        return msg::kImageTooShort;
    }
    ProgressLine();
    return 0;
}

int CMemoryPlan::CompareWithImage(const std::uint8_t* data, std::uint32_t bytes) {
    if (bytes > m_nDataSize || !m_image.ReadImageData(m_dwFileOffset, m_pchData.get(), bytes)) {
        return msg::kVerifyMismatch;
    }
    const std::uint8_t* image = m_pchData.get();
    const auto area = static_cast<std::size_t>(m_nAreaIndex - 1);
    if (m_pDiff) {
        m_pDiff->Compare(AreaName(m_areas, area), m_dwAddress, data, image, bytes);
        return 0;
    }
    if (const std::optional<std::size_t> at = FirstDifference(data, image, bytes)) {
        ReportLine(Format(GetString(msg::kVerifyDifference).c_str(),
                          AreaName(m_areas, area).c_str(), static_cast<unsigned>(m_dwAddress + *at),
                          data[*at], image[*at]));
        return msg::kVerifyMismatch;
    }
    return 0;
}

int CMemoryPlan::ReportDifferences() {
    m_pDiff->Finish();
    const DiffCollector diff = std::move(*m_pDiff);
    m_pDiff.reset();
    if (!diff.Any()) {
        return 0;
    }
    for (const DiffRange& range : diff.Ranges()) {
        ReportLine(Format(GetString(msg::kVerifyRange).c_str(), range.area.c_str(),
                          static_cast<unsigned>(range.address),
                          std::to_string(range.length).c_str(), range.first, range.second));
    }
    ReportLine(Format(GetString(msg::kVerifyRangeCount).c_str(),
                      std::to_string(diff.RangeCount()).c_str(),
                      std::to_string(diff.ByteCount()).c_str(), static_cast<int>(kDiffRangeLimit)));
    return msg::kVerifyMismatch;
}

}  // namespace kz
