// The binding of the LAN transfer library: finds the library file, binds its functions by
// name and calls them. The types, records and result rules are in lan/MtoMTypes.h.
//
// Loading: the library file (kLibraryFile) is looked for in the program folder first
// (platform::ProgramFolder()), then on the system's search path. Each function is looked up
// by one name from kFunctionNames: the decorated (Microsoft scheme) name on Windows, the
// plain C name elsewhere (ELF linkers read "@@" in a symbol name as a version marker).
// A library path that names a FIFO, a folder or a device is refused before the system's
// loader sees it (it would wait on a FIFO for a writer), with that as the reason.
// A function the library lacks is no reason to refuse the library: its call answers
// kResultMissing (128) (SetTransitionType too), and CreateMtoMSocket answers null, as does every call when no
// library could be loaded.
//
// Calls: every call is handed on to the library as it is. With a null callback it completes
// before returning (0 = success); with a callback, 1 means accepted and the result arrives
// through the callback on a thread of the library's, possibly before the accepting call has
// returned. The callback must only hand the result on: calling the library from inside its
// own callback is not allowed. A buffer or record passed with a request belongs to the
// library until that request has completed.
//
// Lifetime: the library keeps nothing that must outlive a session, so the owner loads it for
// a session and unloads it at teardown (after FreeMtoMSocket). Unload() and the destructor
// must not run while a request is outstanding or a callback may still arrive.
//
// Cutting a call short: a call made with a null callback waits for its result, and even an
// accepting call waits for the panel's acceptance. CancelCallInProgress(), from another
// thread, calls CancelMtoM on the socket of the call this object is making at that moment,
// and the library ends that call soon after with a failure. This extends the contract: a
// library must accept CancelMtoM from another thread while a call of the same socket is in
// progress (it is the only call that may overlap another one of the same socket). A cancel
// that lands after the call has returned is not made; one that lands in the instant
// before the library has taken the call may be missed, and the call then waits for its
// own bound.
//
// Thread-safety: Load() and Unload() belong to the owner's thread; the call wrappers only
// read the bound pointers and may be used from any thread between them, the calls of one
// socket from one thread at a time (a call in progress is remembered per object, for
// CancelCallInProgress()). CancelCallInProgress() may come from any thread between Load()
// and Unload().
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "lan/MtoMTypes.h"
#include "platform/SharedLibrary.h"

namespace kz::lan {

#if defined(_WIN32)
inline constexpr const char* kLibraryFile = "Kevrosa.dll";
#else
inline constexpr const char* kLibraryFile = "libKevrosa.so";
#endif

enum class Function {
    CreateMtoMSocket,
    OpenMtoMLAN,
    CloseMtoM,
    FreeMtoMSocket,
    CancelMtoM,
    SetTransitionType,
    FindNode,
    Communication,
    Quit,
    Bel,
    DownloadingSystemDownloaderFile,
    InvokingTheDownloadedObject,
    ExtendProgramDownloading,
    ColdRest,
    DownloadingMaintenanceTool,
    UploadingMaintenanceTool,
    ReadHardData,
    Support,
    List,
    Password,
    FileReadCard,
    FileWriteCard,
    Count
};

// Both spellings of each function, in the order of Function.
struct FunctionName {
    const char* decorated;  // Windows export
    const char* plain;      // C-linkage export of POSIX builds
};
extern const std::array<FunctionName, static_cast<std::size_t>(Function::Count)> kFunctionNames;

// The name under which this platform's library exports f.
const char* ExportedName(Function f);

class LanLibrary {
  public:
    LanLibrary() = default;
    ~LanLibrary() { Unload(); }
    LanLibrary(const LanLibrary&) = delete;
    LanLibrary& operator=(const LanLibrary&) = delete;

    // Loads the library (program folder first, then the search path) and binds every
    // function it has. False when no library file could be loaded (every call then answers
    // as for a missing function). *error gets the loader's reason.
    bool Load(std::string* error = nullptr);
    // Loads the library file at path instead of looking for it.
    bool LoadFrom(const std::string& path, std::string* error = nullptr);
    // Forgets every bound function and unloads the library.
    void Unload();
    bool Loaded() const { return m_library.IsOpen(); }
    bool Has(Function f) const { return m_apfn[static_cast<std::size_t>(f)] != nullptr; }
    // The file of the loaded library (empty when none is loaded).
    const std::string& Path() const { return m_path; }
    // The exported name of the first contract function (in the order of Function) the
    // loaded library lacks; null when it has them all or none is loaded.
    const char* FirstMissing() const;

    // Cuts short the call this object is making on another thread (see above).
    void CancelCallInProgress() const;

    // --- the library's functions (kResultMissing when the function is missing) ----------
    MtoMSocket* CreateMtoMSocket(std::uint32_t kind) const;
    int OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char* address) const;
    int CloseMtoM(MtoMSocket* s, MtoMCallback cb) const;
    int FreeMtoMSocket(MtoMSocket* s) const;
    int CancelMtoM(MtoMSocket* s) const;
    std::uint32_t SetTransitionType(MtoMSocket* s, std::uint32_t type) const;
    int FindNode(MtoMSocket* s, MtoMCallback cb, const char* target) const;
    int Communication(MtoMSocket* s, MtoMCallback cb) const;
    int Quit(MtoMSocket* s, MtoMCallback cb) const;
    int Bel(MtoMSocket* s, MtoMCallback cb, std::uint16_t code, void* request, void* answer) const;
    int DownloadingSystemDownloaderFile(MtoMSocket* s, MtoMCallback cb, std::uint32_t address,
                                        std::uint32_t size, std::uint8_t* bytes) const;
    int InvokingTheDownloadedObject(MtoMSocket* s, MtoMCallback cb, std::uint32_t address) const;
    int ExtendProgramDownloading(MtoMSocket* s, MtoMCallback cb, std::uint8_t kind,
                                 std::uint16_t block, std::uint32_t size,
                                 std::uint8_t* bytes) const;
    int ColdRest(MtoMSocket* s, MtoMCallback cb) const;
    int DownloadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t address,
                                   std::uint32_t size, std::uint8_t* bytes) const;
    int UploadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t address,
                                 std::uint32_t size, std::uint8_t* bytes) const;
    int ReadHardData(MtoMSocket* s, MtoMCallback cb, std::uint8_t* buffer) const;
    int Support(MtoMSocket* s, MtoMCallback cb, std::uint8_t* name) const;
    int List(MtoMSocket* s, MtoMCallback cb, KzFileLimit* limit, int* count, KzFileList* list,
             std::uint8_t* bytes) const;
    int Password(MtoMSocket* s, MtoMCallback cb, char* code, std::uint32_t* result) const;
    int FileReadCard(MtoMSocket* s, MtoMCallback cb, KzFileLimit* range, int* count,
                     KzFileList* list, const char* folder, const char* name,
                     const char* extension) const;
    int FileWriteCard(MtoMSocket* s, MtoMCallback cb, KzFileNo* file, const char* path) const;

  private:
    // Marks the call on socket s as in progress for its lifetime.
    class CallScope;

    template <typename Fn>
    Fn Get(Function f) const {
        return reinterpret_cast<Fn>(m_apfn[static_cast<std::size_t>(f)]);
    }
    void BindAll();

    platform::SharedLibrary m_library;
    std::string m_path;
    std::array<void*, static_cast<std::size_t>(Function::Count)> m_apfn{};
    mutable std::mutex m_callMutex;
    mutable MtoMSocket* m_pCallSocket = nullptr;  // the call in progress (m_callMutex)
};

}  // namespace kz::lan
