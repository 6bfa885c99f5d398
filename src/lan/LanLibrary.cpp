#include "lan/LanLibrary.h"

#include <filesystem>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"
#include "platform/ProgramFolder.h"

namespace kz::lan {

// clang-format off
const std::array<FunctionName, static_cast<std::size_t>(Function::Count)> kFunctionNames = {{
    {"?CreateMtoMSocket@@YGPAUtagMtoMSOCK@@K@Z", "CreateMtoMSocket"},
    {"?OpenMtoMLAN@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPBD@Z", "OpenMtoMLAN"},
    {"?CloseMtoM@@YGHPAUtagMtoMSOCK@@P6GH0H@Z@Z", "CloseMtoM"},
    {"?FreeMtoMSocket@@YGHPAUtagMtoMSOCK@@@Z", "FreeMtoMSocket"},
    {"?CancelMtoM@@YGHPAUtagMtoMSOCK@@@Z", "CancelMtoM"},
    {"?SetTransitionType@@YGKPAUtagMtoMSOCK@@K@Z", "SetTransitionType"},
    {"?MtoMFS_FindNode@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPBD@Z", "MtoMFS_FindNode"},
    {"?MtoMDLE_Communication@@YGHPAUtagMtoMSOCK@@P6GH0H@Z@Z", "MtoMDLE_Communication"},
    {"?MtoMDLE_Quit@@YGHPAUtagMtoMSOCK@@P6GH0H@Z@Z", "MtoMDLE_Quit"},
    {"?MtoMDLE_Bel@@YGHPAUtagMtoMSOCK@@P6GH0H@ZGPAX2@Z", "MtoMDLE_Bel"},
    {"?MtoMDLE_DownloadingSystemDownloaderFile@@YGHPAUtagMtoMSOCK@@P6GH0H@ZKKPAE@Z",
     "MtoMDLE_DownloadingSystemDownloaderFile"},
    {"?MtoMDLE_InvokingTheDownloadedObject@@YGHPAUtagMtoMSOCK@@P6GH0H@ZK@Z",
     "MtoMDLE_InvokingTheDownloadedObject"},
    {"?MtoMDLE_ExtendProgramDownloading@@YGHPAUtagMtoMSOCK@@P6GH0H@ZEGKPAE@Z",
     "MtoMDLE_ExtendProgramDownloading"},
    {"?MtoMDLE_ColdRest@@YGHPAUtagMtoMSOCK@@P6GH0H@Z@Z", "MtoMDLE_ColdRest"},
    {"?MtoMDLE_DownloadingMaintenanceTool@@YGHPAUtagMtoMSOCK@@P6GH0H@ZKKPAE@Z",
     "MtoMDLE_DownloadingMaintenanceTool"},
    {"?MtoMDLE_UploadingMaintenanceTool@@YGHPAUtagMtoMSOCK@@P6GH0H@ZKKPAE@Z",
     "MtoMDLE_UploadingMaintenanceTool"},
    {"?MtoMDLE_Read_Hard_Data@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPAE@Z", "MtoMDLE_Read_Hard_Data"},
    {"?MtoMDLE_Support@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPAE@Z", "MtoMDLE_Support"},
    {"?MtoMDLE_List@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPAUtagKZFILELIMT@@PAHPAUtagKZFILELIST@@PAE@Z",
     "MtoMDLE_List"},
    {"?MtoMDLE_Password@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPADPAK@Z", "MtoMDLE_Password"},
    {"?MtoMDLE_FileReadCard@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPAUtagKZFILELIMT@@PAHPAUtagKZFILELIST@@PBD55@Z",
     "MtoMDLE_FileReadCard"},
    {"?MtoMDLE_FileWriteCard@@YGHPAUtagMtoMSOCK@@P6GH0H@ZPAUtagKZFILENO@@PBD@Z",
     "MtoMDLE_FileWriteCard"},
}};
// clang-format on

const char* ExportedName(Function f) {
    const FunctionName& name = kFunctionNames[static_cast<std::size_t>(f)];
#if defined(_WIN32)
    return name.decorated;
#else
    return name.plain;
#endif
}

bool LanLibrary::Load(std::string* error) {
    // The program folder's copy wins over one installed elsewhere.
    const std::string folder = platform::ProgramFolder();
    std::string folderError;
    if (!folder.empty() && LoadFrom(folder + kLibraryFile, &folderError)) {
        return true;
    }
    if (LoadFrom(kLibraryFile, error)) {
        return true;
    }
    // A copy in the program folder that is there but does not load (another architecture,
    // a library it needs is missing) says more than the search path's "not found".
    std::error_code ignored;
    if (error && !folder.empty() && std::filesystem::exists(folder + kLibraryFile, ignored)) {
        *error = folderError;
    }
    return false;
}

bool LanLibrary::LoadFrom(const std::string& path, std::string* error) {
    Unload();
    // A FIFO in the library's place would keep the loader waiting for a writer.
    if (platform::IsNonRegularFile(path)) {
        if (error != nullptr) {
            *error = Format(GetString(msg::kLanLibraryNotRegularFile).c_str(), path.c_str());
        }
        return false;
    }
    if (!m_library.Open(path, error)) {
        return false;
    }
    // A plain name was found on the search path: the file that was taken says more.
    m_path = m_library.FilePath();
    if (m_path.empty()) {
        m_path = path;
    }
    BindAll();
    return true;
}

void LanLibrary::Unload() {
    m_apfn.fill(nullptr);
    m_path.clear();
    m_library.Close();
}

const char* LanLibrary::FirstMissing() const {
    if (!Loaded()) {
        return nullptr;
    }
    for (std::size_t i = 0; i < m_apfn.size(); ++i) {
        if (m_apfn[i] == nullptr) {
            return ExportedName(static_cast<Function>(i));
        }
    }
    return nullptr;
}

class LanLibrary::CallScope {
  public:
    CallScope(const LanLibrary& lib, MtoMSocket* s) : m_lib(lib) {
        std::lock_guard lock(m_lib.m_callMutex);
        m_pPrevious = m_lib.m_pCallSocket;
        m_lib.m_pCallSocket = s;
    }
    ~CallScope() {
        // Waits for a cancel that is being made, so it never outlives the call.
        std::lock_guard lock(m_lib.m_callMutex);
        m_lib.m_pCallSocket = m_pPrevious;
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

  private:
    const LanLibrary& m_lib;
    MtoMSocket* m_pPrevious;
};

void LanLibrary::CancelCallInProgress() const {
    std::lock_guard lock(m_callMutex);
    if (m_pCallSocket != nullptr) {
        CancelMtoM(m_pCallSocket);
    }
}

void LanLibrary::BindAll() {
    for (std::size_t i = 0; i < m_apfn.size(); ++i) {
        m_apfn[i] = m_library.Symbol(ExportedName(static_cast<Function>(i)));
    }
}

namespace {
using SocketFn = int(KZ_MTOM_CALL*)(MtoMSocket*);
using CallbackFn = int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback);
using TextFn = int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, const char*);
using BufferFn = int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, std::uint8_t*);
using TransferFn = int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, std::uint32_t, std::uint32_t,
                                      std::uint8_t*);
}  // namespace

MtoMSocket* LanLibrary::CreateMtoMSocket(std::uint32_t kind) const {
    auto fn = Get<MtoMSocket*(KZ_MTOM_CALL*)(std::uint32_t)>(Function::CreateMtoMSocket);
    return fn != nullptr ? fn(kind) : nullptr;
}

int LanLibrary::OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char* address) const {
    const CallScope scope(*this, s);
    auto fn = Get<TextFn>(Function::OpenMtoMLAN);
    return fn != nullptr ? fn(s, cb, address) : kResultMissing;
}

int LanLibrary::CloseMtoM(MtoMSocket* s, MtoMCallback cb) const {
    auto fn = Get<CallbackFn>(Function::CloseMtoM);
    return fn != nullptr ? fn(s, cb) : kResultMissing;
}

int LanLibrary::FreeMtoMSocket(MtoMSocket* s) const {
    auto fn = Get<SocketFn>(Function::FreeMtoMSocket);
    return fn != nullptr ? fn(s) : kResultMissing;
}

int LanLibrary::CancelMtoM(MtoMSocket* s) const {
    auto fn = Get<SocketFn>(Function::CancelMtoM);
    return fn != nullptr ? fn(s) : kResultMissing;
}

std::uint32_t LanLibrary::SetTransitionType(MtoMSocket* s, std::uint32_t type) const {
    auto fn =
        Get<std::uint32_t(KZ_MTOM_CALL*)(MtoMSocket*, std::uint32_t)>(Function::SetTransitionType);
    return fn != nullptr ? fn(s, type) : static_cast<std::uint32_t>(kResultMissing);
}

int LanLibrary::FindNode(MtoMSocket* s, MtoMCallback cb, const char* target) const {
    const CallScope scope(*this, s);
    auto fn = Get<TextFn>(Function::FindNode);
    return fn != nullptr ? fn(s, cb, target) : kResultMissing;
}

int LanLibrary::Communication(MtoMSocket* s, MtoMCallback cb) const {
    const CallScope scope(*this, s);
    auto fn = Get<CallbackFn>(Function::Communication);
    return fn != nullptr ? fn(s, cb) : kResultMissing;
}

int LanLibrary::Quit(MtoMSocket* s, MtoMCallback cb) const {
    const CallScope scope(*this, s);
    auto fn = Get<CallbackFn>(Function::Quit);
    return fn != nullptr ? fn(s, cb) : kResultMissing;
}

int LanLibrary::Bel(MtoMSocket* s, MtoMCallback cb, std::uint16_t code, void* request,
                    void* answer) const {
    const CallScope scope(*this, s);
    auto fn = Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, std::uint16_t, void*, void*)>(
        Function::Bel);
    return fn != nullptr ? fn(s, cb, code, request, answer) : kResultMissing;
}

int LanLibrary::DownloadingSystemDownloaderFile(MtoMSocket* s, MtoMCallback cb,
                                                std::uint32_t address, std::uint32_t size,
                                                std::uint8_t* bytes) const {
    const CallScope scope(*this, s);
    auto fn = Get<TransferFn>(Function::DownloadingSystemDownloaderFile);
    return fn != nullptr ? fn(s, cb, address, size, bytes) : kResultMissing;
}

int LanLibrary::InvokingTheDownloadedObject(MtoMSocket* s, MtoMCallback cb,
                                            std::uint32_t address) const {
    const CallScope scope(*this, s);
    auto fn = Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, std::uint32_t)>(
        Function::InvokingTheDownloadedObject);
    return fn != nullptr ? fn(s, cb, address) : kResultMissing;
}

int LanLibrary::ExtendProgramDownloading(MtoMSocket* s, MtoMCallback cb, std::uint8_t kind,
                                         std::uint16_t block, std::uint32_t size,
                                         std::uint8_t* bytes) const {
    const CallScope scope(*this, s);
    auto fn =
        Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, std::uint8_t, std::uint16_t,
                               std::uint32_t, std::uint8_t*)>(Function::ExtendProgramDownloading);
    return fn != nullptr ? fn(s, cb, kind, block, size, bytes) : kResultMissing;
}

int LanLibrary::ColdRest(MtoMSocket* s, MtoMCallback cb) const {
    const CallScope scope(*this, s);
    auto fn = Get<CallbackFn>(Function::ColdRest);
    return fn != nullptr ? fn(s, cb) : kResultMissing;
}

int LanLibrary::DownloadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t address,
                                           std::uint32_t size, std::uint8_t* bytes) const {
    const CallScope scope(*this, s);
    auto fn = Get<TransferFn>(Function::DownloadingMaintenanceTool);
    return fn != nullptr ? fn(s, cb, address, size, bytes) : kResultMissing;
}

int LanLibrary::UploadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t address,
                                         std::uint32_t size, std::uint8_t* bytes) const {
    const CallScope scope(*this, s);
    auto fn = Get<TransferFn>(Function::UploadingMaintenanceTool);
    return fn != nullptr ? fn(s, cb, address, size, bytes) : kResultMissing;
}

int LanLibrary::ReadHardData(MtoMSocket* s, MtoMCallback cb, std::uint8_t* buffer) const {
    const CallScope scope(*this, s);
    auto fn = Get<BufferFn>(Function::ReadHardData);
    return fn != nullptr ? fn(s, cb, buffer) : kResultMissing;
}

int LanLibrary::Support(MtoMSocket* s, MtoMCallback cb, std::uint8_t* name) const {
    const CallScope scope(*this, s);
    auto fn = Get<BufferFn>(Function::Support);
    return fn != nullptr ? fn(s, cb, name) : kResultMissing;
}

int LanLibrary::List(MtoMSocket* s, MtoMCallback cb, KzFileLimit* limit, int* count,
                     KzFileList* list, std::uint8_t* bytes) const {
    const CallScope scope(*this, s);
    auto fn = Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, KzFileLimit*, int*, KzFileList*,
                                     std::uint8_t*)>(Function::List);
    return fn != nullptr ? fn(s, cb, limit, count, list, bytes) : kResultMissing;
}

int LanLibrary::Password(MtoMSocket* s, MtoMCallback cb, char* code, std::uint32_t* result) const {
    const CallScope scope(*this, s);
    auto fn = Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, char*, std::uint32_t*)>(
        Function::Password);
    return fn != nullptr ? fn(s, cb, code, result) : kResultMissing;
}

int LanLibrary::FileReadCard(MtoMSocket* s, MtoMCallback cb, KzFileLimit* range, int* count,
                             KzFileList* list, const char* folder, const char* name,
                             const char* extension) const {
    const CallScope scope(*this, s);
    auto fn =
        Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, KzFileLimit*, int*, KzFileList*,
                               const char*, const char*, const char*)>(Function::FileReadCard);
    return fn != nullptr ? fn(s, cb, range, count, list, folder, name, extension) : kResultMissing;
}

int LanLibrary::FileWriteCard(MtoMSocket* s, MtoMCallback cb, KzFileNo* file,
                              const char* path) const {
    const CallScope scope(*this, s);
    auto fn = Get<int(KZ_MTOM_CALL*)(MtoMSocket*, MtoMCallback, KzFileNo*, const char*)>(
        Function::FileWriteCard);
    return fn != nullptr ? fn(s, cb, file, path) : kResultMissing;
}

}  // namespace kz::lan
