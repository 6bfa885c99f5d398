#include "ops/OperationHandle.h"

#include <filesystem>
#include <system_error>
#include <type_traits>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "lan/ProtocolMtoM.h"
#include "ops/History.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "ops/cf/CfSend.h"
#include "ops/cf/CfSendMtoM.h"
#include "ops/memory/Backup.h"
#include "ops/memory/BackupMtoM.h"
#include "ops/memory/MemoryPlan.h"
#include "ops/memory/Restore.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/SafetyBackup.h"
#include "ops/memory/Verify.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/LocalTime.h"
#include "platform/Sha256.h"
#include "serial/Protocol.h"

namespace kz {

Link SelectedLink() {
    return CSettings().GetCommType() == 1 ? Link::Lan : Link::Serial;
}

bool IsMemoryKind(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
        case OperationKind::Restore:
        case OperationKind::Verify:
        case OperationKind::BackupMtoM:
        case OperationKind::RestoreMtoM:
        case OperationKind::VerifyMtoM:
            return true;
        default:
            return false;
    }
}

COperationHandle::COperationHandle(std::unique_ptr<COperation> op, CProtocol* serial,
                                   CProtocolMtoM* lan)
    : m_pSerial(serial), m_pLan(lan), m_pOp(std::move(op)) {}

COperationHandle::COperationHandle(std::unique_ptr<CProtocol> op)
    : m_pSerial(op.get()), m_pOp(std::move(op)) {}

COperationHandle::COperationHandle(std::unique_ptr<CProtocolMtoM> op)
    : m_pLan(op.get()), m_pOp(std::move(op)) {}

COperationHandle::~COperationHandle() {
    Shutdown();
}

template <class Op>
std::unique_ptr<COperationHandle> COperationHandle::Make(const StartPlan& plan) {
    auto op = std::make_unique<Op>();
    Op* const made = op.get();
    CProtocol* serial = nullptr;
    CProtocolMtoM* lan = nullptr;
    if constexpr (std::is_base_of_v<CProtocol, Op>) {
        serial = made;
    } else {
        lan = made;
    }
    std::unique_ptr<COperationHandle> handle(new COperationHandle(std::move(op), serial, lan));
    handle->m_bRecord = true;
    handle->m_csPlanPath = plan.path;
    if constexpr (std::is_base_of_v<CMemoryPlan, Op>) {
        made->SetFileName(plan.path);
        made->SetComment(plan.comment);
        handle->m_pMemory = made;
    } else {
        made->SetFolder(plan.path);
    }
    if constexpr (std::is_base_of_v<CMemoryOperation, Op>) {
        handle->m_pModelInfo = made;
    }
    return handle;
}

std::unique_ptr<COperationHandle> COperationHandle::Create(OperationKind kind, Link link,
                                                           const StartPlan& plan) {
    std::unique_ptr<COperationHandle> handle = MakeFor(kind, link, plan);
    if (handle) {
        handle->m_kind = kind;
    }
    return handle;
}

std::unique_ptr<COperationHandle> COperationHandle::MakeFor(OperationKind kind, Link link,
                                                            const StartPlan& plan) {
    const bool lan = link == Link::Lan;
    switch (kind) {
        case OperationKind::Backup:
            return lan ? Make<CBackupMtoM>(plan) : Make<CBackup>(plan);
        case OperationKind::Restore:
            return lan ? Make<CRestoreMtoM>(plan) : Make<CRestore>(plan);
        case OperationKind::Verify:
            return lan ? Make<CVerifyMtoM>(plan) : Make<CVerify>(plan);
        case OperationKind::CfReceive:
            return lan ? Make<CCfReceiveMtoM>(plan) : Make<CCfReceive>(plan);
        case OperationKind::CfSend:
            return lan ? Make<CCfSendMtoM>(plan) : Make<CCfSend>(plan);
        default:
            return nullptr;
    }
}

const std::type_info& COperationHandle::OperationType() const {
    return typeid(*m_pOp);
}

const char* COperationHandle::LinkName() const {
    return m_pLan != nullptr ? "ProtocolMtoM" : "Protocol";
}

void COperationHandle::Start(IOperationView* view, IOperationPrompt* prompt, INodeChooser* chooser,
                             const std::string& nodeAddress) {
    m_pOp->SetView(view);
    m_pOp->SetPrompt(prompt);
    if (m_pLan != nullptr) {
        if (chooser != nullptr) {
            m_pLan->SetNodeChooser(chooser);
        }
        if (!nodeAddress.empty()) {
            m_pLan->SetNodeAddress(nodeAddress);
        }
    }
    m_bStarted = true;
    m_startTime = std::chrono::system_clock::now();
    m_pOp->PostEvent(EVENT_NONE);
    m_dwStartTick = platform::Clock().TickCount();
}

AbortRule COperationHandle::MayAbort() const {
    if (Searching()) {
        return AbortRule::Searching;
    }
    if (FirstSecondLeft().count() > 0) {
        return AbortRule::FirstSecond;
    }
    return AbortRule::Allowed;
}

std::chrono::milliseconds COperationHandle::FirstSecondLeft() const {
    if (m_pSerial == nullptr) {
        return std::chrono::milliseconds(0);
    }
    const std::uint32_t elapsed = platform::Clock().TickCount() - m_dwStartTick;
    const auto guard = static_cast<std::uint32_t>(kAbortGuard.count());
    return std::chrono::milliseconds(elapsed < guard ? guard - elapsed : 0);
}

bool COperationHandle::Searching() const {
    return m_pLan != nullptr && m_pLan->Searching();
}

void COperationHandle::Abort() {
    m_pOp->PostEvent(EVENT_ABORT);
}

void COperationHandle::AnswerPassword(const std::string& password) {
    m_pOp->m_csPassword = password;
}

std::optional<ModelInfoExchange> COperationHandle::ModelInfoRequest() const {
    if (m_pModelInfo == nullptr) {
        return std::nullopt;
    }
    return m_pModelInfo->ModelInfoRequest();
}

void COperationHandle::AnswerModelInfo(bool ok, const std::string& modelName,
                                       const std::string& bkFile, std::uint32_t baud) {
    if (m_pModelInfo != nullptr) {
        m_pModelInfo->AnswerModelInfo(ok, modelName, bkFile, baud);
    }
}

bool COperationHandle::CancelPowerReset() {
    if (m_pSerial == nullptr) {
        return false;
    }
    m_pSerial->CancelPowerReset();
    return true;
}

void COperationHandle::SetPowerResetLimit(std::chrono::seconds limit) {
    if (m_pSerial != nullptr) {
        m_pSerial->SetPowerResetLimit(limit);
    }
}

int COperationHandle::Error() const {
    return m_pOp->m_nError;
}

void COperationHandle::SetSerialDevice(const std::string& device) {
    if (m_pSerial != nullptr) {
        m_pSerial->SetDevice(device);
    }
}

void COperationHandle::SetEveryDifference(bool every) {
    if (m_pMemory != nullptr) {
        m_pMemory->SetEveryDifference(every);
    }
}

void COperationHandle::SetExactImagePath() {
    if (m_pMemory != nullptr) {
        m_pMemory->SetExactFileName(true);
    }
}

void COperationHandle::SetResume() {
    if (m_pMemory != nullptr) {
        m_pMemory->SetResume(true);
    }
}

std::string COperationHandle::PortOpenError() const {
    return m_pSerial != nullptr ? m_pSerial->OpenError().reason : std::string();
}

std::string COperationHandle::ImagePath() const {
    return m_pMemory != nullptr ? m_pMemory->ImagePath() : std::string();
}

std::string COperationHandle::PartialPath() const {
    return m_pMemory != nullptr ? m_pMemory->PartialPath() : std::string();
}

std::string COperationHandle::NodeAddress() const {
    return m_pLan != nullptr ? m_pLan->NodeAddress() : std::string();
}

void COperationHandle::Shutdown() {
    m_pOp->Shutdown();
    RecordRun();
}

namespace {

const char* OperationName(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
            return "backup";
        case OperationKind::Restore:
            return "restore";
        case OperationKind::Verify:
            return "verify";
        case OperationKind::CfReceive:
            return "cf-receive";
        case OperationKind::CfSend:
            return "cf-send";
        default:
            return "";
    }
}

std::string UtcText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{floor<seconds>(time - day)};
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
}

}  // namespace

void COperationHandle::RecordRun() {
    if (!m_bRecord || !m_bStarted || m_bRecorded) {
        return;
    }
    m_bRecorded = true;  // the operation's threads have ended: its state may be read
    HistoryEntry entry;
    entry.start = UtcText(m_startTime);
    entry.seconds =
        std::chrono::duration<double>(std::chrono::system_clock::now() - m_startTime).count();
    entry.operation = OperationName(m_kind);
    entry.link =
        m_pLan != nullptr ? "lan " + m_pLan->NodeAddress() : "serial " + m_pSerial->DeviceInUse();
    entry.model = m_pOp->m_csMachineName;
    entry.result = m_pOp->m_nError;
    entry.text = entry.result != 0 ? GetString(entry.result) : std::string();
    if (m_pMemory != nullptr) {
        entry.coreId = m_pMemory->PanelCoreId();
        entry.file = m_pMemory->ImagePath();
        entry.bytes = m_pMemory->BytesMoved();
        // A backup's image only once it is complete; restore and verify: the image used.
        const bool written = m_kind != OperationKind::Backup || entry.result == msg::kCompleted;
        if (written) {
            entry.sha256 = platform::FileSha256(entry.file).value_or("");
        }
    } else {
        entry.file = m_csPlanPath;
    }
    AppendHistory(HistoryPath(), entry);
}

void COperationHandle::WaitIdle() {
    m_pOp->WaitIdle();
}

// ---- CSafetyBackup ------------------------------------------------------------------------

std::string CSafetyBackup::FolderFor(const std::optional<std::string>& option) {
    return option ? *option : CSettings().GetSafetyBackupFolder();
}

CSafetyBackup::CSafetyBackup(std::string folder, std::string stamp)
    : m_csFolder(std::move(folder)), m_csStamp(std::move(stamp)) {}

bool CSafetyBackup::Prepare() {
    std::error_code ec;
    std::filesystem::create_directories(m_csFolder, ec);
    if (!std::filesystem::is_directory(m_csFolder)) {
        m_csReason = ec ? ec.message() : "not a folder";
        return false;
    }
    if (m_csStamp.empty()) {
        m_csStamp = platform::LocalTimeStamp();
    }
    m_plan.path = WorkingSafetyName(m_csFolder, m_csStamp);
    m_plan.comment = GetString(msg::kSafetyBackupComment);
    return true;
}

std::string CSafetyBackup::FailureLine() const {
    return Format(GetString(msg::kSafetyBackupFolder).c_str(), m_csFolder.c_str(),
                  m_csReason.c_str());
}

std::string CSafetyBackup::StartLine() const {
    return Format(GetString(msg::kSafetyBackupStart).c_str(), m_plan.path.c_str());
}

std::unique_ptr<COperationHandle> CSafetyBackup::CreateBackup(Link link) const {
    std::unique_ptr<COperationHandle> op =
        COperationHandle::Create(OperationKind::Backup, link, m_plan);
    op->SetExactImagePath();
    return op;
}

std::string CSafetyBackup::Finish(const std::string& imagePath) {
    m_csFinal = NameSafetyBackup(imagePath.empty() ? m_plan.path : imagePath, m_csStamp);
    return m_csFinal;
}

std::string CSafetyBackup::DoneLine() const {
    return Format(GetString(msg::kSafetyBackupDone).c_str(), m_csFinal.c_str());
}

}  // namespace kz
