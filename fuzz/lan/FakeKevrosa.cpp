// A LAN library for the LAN harness: it keeps the contract of src/lan/MtoMTypes.h, but every
// answer (the result of a request, the cause of a failure, node tables, identity and
// hardware texts, memory, card lists) comes from the harness's input, which the library
// reads through KzFuzzLanTake, a function of the program that loaded it.
//
// Each request takes one byte: 0 success with the request's data, 1 failure (cause: the next
// four bytes), 2 refused (cause as well), 3 "nothing". With a callback, the completion comes
// on a thread of the library's; threads are joined when the socket is freed.
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "lan/MtoMTypes.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using kz::lan::KzFileLimit;
using kz::lan::KzFileList;
using kz::lan::KzFileNo;
using kz::lan::MtoMCallback;
using kz::lan::MtoMSocket;

struct Socket {
    unsigned char record[kz::lan::kSocketRecordSize] = {};
    std::vector<unsigned char> nodeTable;
    std::mutex mutex;
    std::vector<std::thread> completions;
};

Socket* SocketOf(MtoMSocket* s) {
    return reinterpret_cast<Socket*>(s);
}

using TakeFn = std::size_t (*)(void*, std::size_t);

std::size_t Take(void* out, std::size_t n) {
    static const auto take = reinterpret_cast<TakeFn>(::dlsym(RTLD_DEFAULT, "KzFuzzLanTake"));
    std::memset(out, 0, n);
    return take != nullptr ? take(out, n) : 0;
}

template <typename T>
T Value() {
    T value{};
    Take(&value, sizeof value);
    return value;
}

// A piece of at most max bytes: its length (16 bits) from the input, then the bytes.
void Fill(void* out, std::size_t max) {
    const std::size_t length = std::min<std::size_t>(Value<std::uint16_t>(), max);
    Take(out, length);
}

int Finish(MtoMSocket* s, MtoMCallback cb, const std::function<void()>& fill = {}) {
    if (s == nullptr) {
        return 2;
    }
    int result = kz::lan::kResultSuccess;
    switch (Value<std::uint8_t>() % 4) {
        case 0:
            if (fill) {
                fill();
            }
            break;
        case 1:
            kz::lan::SetErrorCode(s, Value<std::uint32_t>());
            result = 2;
            break;
        case 2:
            kz::lan::SetErrorCode(s, Value<std::uint32_t>());
            return 2;
        default:
            result = kz::lan::kResultNothing;
            break;
    }
    if (cb == nullptr) {
        return result;
    }
    Socket* socket = SocketOf(s);
    std::lock_guard lock(socket->mutex);
    socket->completions.emplace_back([s, cb, result] { cb(s, result); });
    return kz::lan::kResultAccepted;
}

}  // namespace

FAKE_EXPORT MtoMSocket* CreateMtoMSocket(std::uint32_t) {
    return reinterpret_cast<MtoMSocket*>(new (std::nothrow) Socket);
}

FAKE_EXPORT int OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char*) {
    return Finish(s, cb);
}

FAKE_EXPORT int CloseMtoM(MtoMSocket* s, MtoMCallback) {
    return s != nullptr ? 0 : 2;
}

FAKE_EXPORT int FreeMtoMSocket(MtoMSocket* s) {
    Socket* socket = SocketOf(s);
    if (socket == nullptr) {
        return 2;
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(socket->mutex);
        threads.swap(socket->completions);
    }
    for (std::thread& t : threads) {
        t.join();
    }
    delete socket;
    return 0;
}

FAKE_EXPORT int CancelMtoM(MtoMSocket*) {
    return 0;
}

FAKE_EXPORT std::uint32_t SetTransitionType(MtoMSocket*, std::uint32_t) {
    return 0;
}

FAKE_EXPORT int MtoMFS_FindNode(MtoMSocket* s, MtoMCallback cb, const char*) {
    return Finish(s, cb, [s] {
        Socket* socket = SocketOf(s);
        const std::int32_t count = Value<std::uint8_t>() % 9;
        socket->nodeTable.assign(kz::lan::kNodeTableEntries + count * kz::lan::kNodeEntrySize, 0);
        std::memcpy(socket->nodeTable.data() + kz::lan::kNodeTableCount, &count, sizeof count);
        Take(socket->nodeTable.data() + kz::lan::kNodeTableEntries,
             count * kz::lan::kNodeEntrySize);
        kz::lan::WriteField<const unsigned char*>(s, kz::lan::kOffsetNodeTable,
                                                  socket->nodeTable.data());
    });
}

FAKE_EXPORT int MtoMDLE_Communication(MtoMSocket* s, MtoMCallback cb) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_Quit(MtoMSocket* s, MtoMCallback cb) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_Bel(MtoMSocket* s, MtoMCallback cb, std::uint16_t, void*, void* answer) {
    return Finish(
        s, cb, [answer] { Fill(answer, kz::lan::kAdapterBufferSize - kz::lan::kBelAnswerOffset); });
}

FAKE_EXPORT int MtoMDLE_DownloadingSystemDownloaderFile(MtoMSocket* s, MtoMCallback cb,
                                                        std::uint32_t, std::uint32_t,
                                                        std::uint8_t*) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_InvokingTheDownloadedObject(MtoMSocket* s, MtoMCallback cb, std::uint32_t) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_ExtendProgramDownloading(MtoMSocket* s, MtoMCallback cb, std::uint8_t,
                                                 std::uint16_t, std::uint32_t, std::uint8_t*) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_ColdRest(MtoMSocket* s, MtoMCallback cb) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_DownloadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t,
                                                   std::uint32_t, std::uint8_t*) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_UploadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb, std::uint32_t,
                                                 std::uint32_t size, std::uint8_t* bytes) {
    return Finish(s, cb, [size, bytes] { Fill(bytes, size); });
}

FAKE_EXPORT int MtoMDLE_Read_Hard_Data(MtoMSocket* s, MtoMCallback cb, std::uint8_t* buffer) {
    return Finish(s, cb, [buffer] { Fill(buffer, kz::lan::kAdapterBufferSize); });
}

FAKE_EXPORT int MtoMDLE_Support(MtoMSocket* s, MtoMCallback cb, std::uint8_t*) {
    return Finish(s, cb);
}

FAKE_EXPORT int MtoMDLE_List(MtoMSocket* s, MtoMCallback cb, KzFileLimit*, int* count,
                             KzFileList* list, std::uint8_t* bytes) {
    return Finish(s, cb, [count, list, bytes] {
        *count = Value<std::int32_t>();
        Fill(list, kz::lan::kListEntries * sizeof(KzFileList));
        Fill(bytes, kz::lan::kListByteArea);
    });
}

FAKE_EXPORT int MtoMDLE_Password(MtoMSocket* s, MtoMCallback cb, char*, std::uint32_t* result) {
    return Finish(s, cb, [result] { *result = Value<std::uint32_t>(); });
}

FAKE_EXPORT int MtoMDLE_FileReadCard(MtoMSocket* s, MtoMCallback cb, KzFileLimit* range, int* count,
                                     KzFileList* list, const char*, const char*, const char*) {
    return Finish(s, cb, [s, range, count, list] {
        const std::int64_t room =
            std::max<std::int64_t>(0, std::int64_t{range->last} - range->first + 1);
        *count = Value<std::int32_t>();
        Fill(list, static_cast<std::size_t>(room) * sizeof(KzFileList));
        if (Value<std::uint8_t>() == 1) {
            kz::lan::SetErrorCode(s, kz::lan::kNoticeNamesLeftOut);
        }
    });
}

FAKE_EXPORT int MtoMDLE_FileWriteCard(MtoMSocket* s, MtoMCallback cb, KzFileNo*, const char*) {
    return Finish(s, cb);
}
