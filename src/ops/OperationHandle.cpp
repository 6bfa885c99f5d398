#include "ops/OperationHandle.h"

#include <type_traits>

#include "config/Settings.h"
#include "lan/ProtocolMtoM.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "ops/cf/CfSend.h"
#include "ops/cf/CfSendMtoM.h"
#include "ops/memory/Backup.h"
#include "ops/memory/BackupMtoM.h"
#include "ops/memory/MemoryPlan.h"
#include "ops/memory/Restore.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/Verify.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
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

// The operation, owned, with what every operation offers; the parts of a link or a kind
// are reached through the pointers, null where the operation has none. The serial engine
// is a COperation and the LAN adapter is not, so HolderOf forwards the common calls to the
// operation's own class.
class COperationHandle::Holder {
  public:
    virtual ~Holder() = default;
    virtual const std::type_info& Type() const = 0;
    virtual void SetFrontEnd(IOperationView* view, IOperationPrompt* prompt) = 0;
    virtual void PostEvent(int nEvent) = 0;
    virtual void Shutdown() = 0;
    virtual void WaitIdle() = 0;
    virtual int Error() const = 0;
    virtual void SetPassword(const std::string& password) = 0;

    Link link = Link::Serial;
    CProtocol* serial = nullptr;
    CProtocolMtoM* lan = nullptr;
    CMemoryPlan* memory = nullptr;          // backup, restore and verify on either link
    CMemoryOperation* modelInfo = nullptr;  // the serial memory operations ask for it
};

template <class Op>
class COperationHandle::HolderOf final : public Holder {
  public:
    static constexpr bool kSerial = std::is_base_of_v<CProtocol, Op>;
    static_assert(kSerial || std::is_base_of_v<CProtocolMtoM, Op>);
    // A memory operation: an image file, a comment, and a partial image when it backs up.
    static constexpr bool kMemory = std::is_base_of_v<CMemoryPlan, Op>;

    explicit HolderOf(std::unique_ptr<Op> op) : m_op(std::move(op)) {
        if constexpr (kSerial) {
            link = Link::Serial;
            serial = m_op.get();
        } else {
            link = Link::Lan;
            lan = m_op.get();
        }
        if constexpr (kMemory) {
            memory = m_op.get();
        }
        if constexpr (std::is_base_of_v<CMemoryOperation, Op>) {
            modelInfo = m_op.get();
        }
    }

    const std::type_info& Type() const override { return typeid(*m_op); }
    void SetFrontEnd(IOperationView* view, IOperationPrompt* prompt) override {
        m_op->SetView(view);
        m_op->SetPrompt(prompt);
    }
    void PostEvent(int nEvent) override { m_op->PostEvent(nEvent); }
    void Shutdown() override { m_op->Shutdown(); }
    void WaitIdle() override { m_op->WaitIdle(); }
    int Error() const override { return m_op->m_nError; }
    void SetPassword(const std::string& password) override { m_op->m_csPassword = password; }

  private:
    std::unique_ptr<Op> m_op;
};

COperationHandle::COperationHandle(std::unique_ptr<Holder> op)
    : m_pOp(std::move(op)), m_link(m_pOp->link) {}

COperationHandle::COperationHandle(std::unique_ptr<CProtocol> op)
    : COperationHandle(std::make_unique<HolderOf<CProtocol>>(std::move(op))) {}

COperationHandle::COperationHandle(std::unique_ptr<CProtocolMtoM> op)
    : COperationHandle(std::make_unique<HolderOf<CProtocolMtoM>>(std::move(op))) {}

COperationHandle::~COperationHandle() = default;

template <class Op>
std::unique_ptr<COperationHandle> COperationHandle::Make(const StartPlan& plan) {
    auto op = std::make_unique<Op>();
    if constexpr (HolderOf<Op>::kMemory) {
        op->SetFileName(plan.path);
        op->SetComment(plan.comment);
    } else {
        op->SetFolder(plan.path);
    }
    return std::unique_ptr<COperationHandle>(
        new COperationHandle(std::make_unique<HolderOf<Op>>(std::move(op))));
}

std::unique_ptr<COperationHandle> COperationHandle::Create(OperationKind kind, Link link,
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
    return m_pOp->Type();
}

const char* COperationHandle::LinkName() const {
    return m_link == Link::Lan ? "ProtocolMtoM" : "Protocol";
}

void COperationHandle::Start(IOperationView* view, IOperationPrompt* prompt, INodeChooser* chooser,
                             const std::string& nodeAddress) {
    m_pOp->SetFrontEnd(view, prompt);
    if (CProtocolMtoM* lan = m_pOp->lan) {
        if (chooser != nullptr) {
            lan->SetNodeChooser(chooser);
        }
        if (!nodeAddress.empty()) {
            lan->SetNodeAddress(nodeAddress);
        }
    }
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
    if (m_pOp->serial == nullptr) {
        return std::chrono::milliseconds(0);
    }
    const std::uint32_t elapsed = platform::Clock().TickCount() - m_dwStartTick;
    const auto guard = static_cast<std::uint32_t>(kAbortGuard.count());
    return std::chrono::milliseconds(elapsed < guard ? guard - elapsed : 0);
}

bool COperationHandle::Searching() const {
    return m_pOp->lan != nullptr && m_pOp->lan->Searching();
}

void COperationHandle::Abort() {
    m_pOp->PostEvent(EVENT_ABORT);
}

void COperationHandle::AnswerPassword(const std::string& password) {
    m_pOp->SetPassword(password);
}

std::optional<ModelInfoExchange> COperationHandle::ModelInfoRequest() const {
    if (m_pOp->modelInfo == nullptr) {
        return std::nullopt;
    }
    return m_pOp->modelInfo->ModelInfoRequest();
}

void COperationHandle::AnswerModelInfo(bool ok, const std::string& modelName,
                                       const std::string& bkFile, std::uint32_t baud) {
    if (m_pOp->modelInfo != nullptr) {
        m_pOp->modelInfo->AnswerModelInfo(ok, modelName, bkFile, baud);
    }
}

bool COperationHandle::CancelPowerReset() {
    if (m_pOp->serial == nullptr) {
        return false;
    }
    m_pOp->serial->CancelPowerReset();
    return true;
}

void COperationHandle::SetPowerResetLimit(std::chrono::seconds limit) {
    if (m_pOp->serial != nullptr) {
        m_pOp->serial->SetPowerResetLimit(limit);
    }
}

int COperationHandle::Error() const {
    return m_pOp->Error();
}

std::string COperationHandle::PortOpenError() const {
    return m_pOp->serial != nullptr ? m_pOp->serial->OpenError().reason : std::string();
}

std::string COperationHandle::ImagePath() const {
    return m_pOp->memory != nullptr ? m_pOp->memory->ImagePath() : std::string();
}

std::string COperationHandle::PartialPath() const {
    return m_pOp->memory != nullptr ? m_pOp->memory->PartialPath() : std::string();
}

void COperationHandle::Shutdown() {
    m_pOp->Shutdown();
}

void COperationHandle::WaitIdle() {
    m_pOp->WaitIdle();
}

}  // namespace kz
