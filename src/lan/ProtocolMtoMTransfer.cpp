// The LAN adapter's transfer entries, run once the loader is up (memory operations) or the
// session is connected (CF operations): the hardware read, memory read and write, the CF
// support check, and the closing quit and cold restart. See ProtocolMtoM.cpp for the wait,
// refusal and abort rules they share (98 refused, 99 aborted).
//
//   ReadHW_Entry    1 hardware data ─► 2 answer: sizes ─► done
//   ReadData_Entry  1/2 read request (at most the buffer) ─► 3 data in the buffer ─► done
//   WriteData       1 ─► 2 write pieces of at most 0x8000 bytes, one request each ─► done
//   Support_Entry   1 support request ─► 2 answered: done; failed: 5003
//   Quit_Entry      1 quit (refused: the closing goes on at once) ─► 2 answered or 10 s ─► done
//   Reset_Entry     1 cold restart ─► 2 answered or 10 s ─► session ended, done
//
// While a read, write or hardware request is outstanding, a completion with a failure result
// ends the whole run at its time-out (EndRun); a request not answered in time gives 4008 and
// the closing steps.
#include <algorithm>
#include <cstring>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "diag/Trace.h"
#include "lan/ProtocolMtoM.h"
#include "platform/Format.h"

namespace kz {

// ---- ReadHW_Entry --------------------------------------------------------------------------------

bool CProtocolMtoM::ReadHW_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nReadHWPhase, 1, true, &result)) {
        return result;
    }
    if (m_nReadHWPhase == 1) {
        m_bHardwareKnown = false;
        std::memset(m_pchBuff.get(), 0, lan::kAdapterBufferSize);
        Submit(m_nReadHWPhase, 2, Answer::Command, &lan::LanLibrary::ReadHardData, m_pchBuff.get());
        return false;
    }
    if (nEvent != EVENT_RECEIVED) {
        return TransferNotAnswered(nEvent, m_nReadHWPhase, lan::kRefusedTicks, nullptr);
    }
    // "LLLL,HARDWARE,FROM,DRAM,SRAM": LLLL counts the characters after it.
    const char* text = reinterpret_cast<const char*>(m_pchBuff.get());
    const void* nul = std::memchr(text, 0, lan::kAdapterBufferSize);
    std::string answer(
        text, nul != nullptr ? static_cast<const char*>(nul) - text : lan::kAdapterBufferSize);
    std::uint32_t length = 0;
    IniScanHex(answer.substr(0, 4), length);
    answer.resize(std::min(answer.size(), static_cast<std::size_t>(length) + 4));
    CFieldSplitter fields;
    fields.Split(answer);
    m_csHardware = fields.Field(1);
    m_dwFRomSize = 0;
    m_dwDRamSize = 0;
    m_dwSRamSize = 0;
    IniScanHex(fields.Field(2), m_dwFRomSize);
    IniScanHex(fields.Field(3), m_dwDRamSize);
    IniScanHex(fields.Field(4), m_dwSRamSize);
    // An answer without all of its sizes tells nothing the operations could check.
    m_bHardwareKnown = fields.Count() >= 5;
    TraceMessage("KZmnt", "CProtocolMtoM::ReadHW_Entry = [%d  %s]\n", nEvent, answer.c_str());
    if (CSettings().GetDebug()) {
        AddStatusLine(Format("Read FROM  = [%X]", m_dwFRomSize));
        AddStatusLine(Format("Read SRAM  = [%X]", m_dwSRamSize));
    }
    m_nReadHWPhase = 1;
    return true;
}

// ---- ReadData_Entry ------------------------------------------------------------------------------

bool CProtocolMtoM::ReadData_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nReadDataPhase, 1, true, &result)) {
        return result;
    }
    if (m_nReadDataPhase == 1 || m_nReadDataPhase == 2) {
        if (nEvent == EVENT_TIMEOUT) {
            m_nError = msg::kCheckPower;
            m_nReadDataPhase = 1;
            return true;
        }
        TraceMessage("KZmnt", "ReadData_Phase2 = [%X] , [%X]\n", m_dwRequestAddress,
                     m_dwRequestSize);
        // The answer lands in the adapter's buffer: a larger request would overrun it.
        if (m_dwRequestSize > lan::kAdapterBufferSize) {
            return Refused(m_nReadDataPhase);
        }
        if (Submit(m_nReadDataPhase, 3, Answer::Command, &lan::LanLibrary::UploadingMaintenanceTool,
                   m_dwRequestAddress, m_dwRequestSize, m_pchBuff.get())) {
            m_dwRecvLength = m_dwRequestSize;
        }
        return false;
    }
    if (nEvent != EVENT_RECEIVED) {
        return TransferNotAnswered(nEvent, m_nReadDataPhase, lan::kRefusedTicks, nullptr);
    }
    m_nReadDataPhase = 1;
    return true;
}

// ---- WriteData -----------------------------------------------------------------------------------

bool CProtocolMtoM::IssueWrite() {
    if (m_dwWritten >= m_dwWriteSize) {
        m_dwRecvLength = 0;
        m_nWriteDataPhase = 1;
        return true;
    }
    if (m_pchWriteSource == nullptr) {
        return Refused(m_nWriteDataPhase);
    }
    const std::uint32_t piece = std::min(m_dwWriteSize - m_dwWritten, lan::kMaxTransfer);
    // The library only reads the bytes it is given.
    auto* source = const_cast<std::uint8_t*>(m_pchWriteSource + m_dwWritten);
    if (Submit(m_nWriteDataPhase, m_nWriteDataPhase, Answer::DataBlock,
               &lan::LanLibrary::DownloadingMaintenanceTool, m_dwWriteAddress + m_dwWritten, piece,
               source)) {
        m_dwInFlight = piece;
    }
    return false;
}

bool CProtocolMtoM::WriteData(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nWriteDataPhase, 1, true, &result)) {
        return result;
    }
    if (m_nWriteDataPhase == 1) {
        if (nEvent == EVENT_ABORT) {
            TraceMessage("Cancel", "WriteData_Phase1\n");
            return AbortWaiting(m_nWriteDataPhase, lan::kFailedTicks, false);
        }
        if (nEvent == EVENT_TIMEOUT) {
            return EndRun("TIMEOUT(ReadData_Phase1)\n");
        }
        m_nWriteDataPhase = 2;
        m_dwWritten = 0;
        return IssueWrite();
    }
    if (nEvent != EVENT_RECEIVED) {
        return TransferNotAnswered(nEvent, m_nWriteDataPhase, lan::kFailedTicks,
                                   "TIMEOUT(ReadData_Phase2)\n");
    }
    m_dwWritten += m_dwInFlight;
    m_dwInFlight = 0;
    return IssueWrite();
}

// ---- Support_Entry, Quit_Entry, Reset_Entry --------------------------------------------------------

bool CProtocolMtoM::Support_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nSupportPhase, 1, true, &result)) {
        return result;
    }
    if (m_nSupportPhase == 1 && m_nError == 0) {
        m_vSupportName.assign(m_csSupportName.begin(), m_csSupportName.end());
        m_vSupportName.push_back('\0');
        Submit(m_nSupportPhase, 2, Answer::Command, &lan::LanLibrary::Support,
               reinterpret_cast<std::uint8_t*>(m_vSupportName.data()));
        return false;
    }
    if (m_nSupportPhase == 2 && nEvent == EVENT_ABORT) {
        return AbortWaiting(m_nSupportPhase, lan::kRefusedTicks, true);
    }
    if (m_nSupportPhase == 2 && nEvent == EVENT_TIMEOUT && m_nError == 0) {
        return TimedOut(m_nSupportPhase, 1);  // no answer is no "not supported"
    }
    Disarm();
    m_nSupportPhase = 1;
    if (m_nError != 0) {
        m_nError = msg::kNoCfModel;
    }
    TraceMessage("KZmnt", "CProtocolMtoM::Support_Entry = [%d]\n", m_nError);
    return true;
}

bool CProtocolMtoM::Quit_Entry(int nEvent) {
    TraceMessage("KZmnt", "CProtocolMtoM::Quit_Entry = [%d , %d]\n", nEvent, m_nQuitPhase);
    bool result = false;
    if (Closing(nEvent, m_nQuitPhase, 1, true, &result)) {
        return result;
    }
    if (m_nQuitPhase == 1) {
        if (!m_pBinding ||
            !Accepted(m_pBinding->Lib().Quit(m_pBinding->Socket(), &lan::CMtoMBinding::Callback))) {
            // Nothing more can reach the panel: the closing goes on at once.
            m_nQuitPhase = 98;
            Closing(EVENT_TIMEOUT, m_nQuitPhase, 1, true, &result);
            return result;
        }
        m_nQuitPhase = 2;
        Arm(lan::kCloseWaitTicks);
        return false;
    }
    if (nEvent == EVENT_ABORT) {
        return AbortWaiting(m_nQuitPhase, lan::kRefusedTicks, true);
    }
    Disarm();
    m_nQuitPhase = 1;
    return true;
}

bool CProtocolMtoM::Reset_Entry(int nEvent) {
    TraceMessage("KZmnt", "CProtocolMtoM::Reset_Entry = [%d , %d]\n", nEvent, m_nResetPhase);
    bool result = false;
    if (Closing(nEvent, m_nResetPhase, 1, false, &result)) {
        DeleteBinding();
        return result;
    }
    if (nEvent == EVENT_ABORT) {
        return AbortWaiting(m_nResetPhase, lan::kRefusedTicks, false);
    }
    if (m_nResetPhase == 1) {
        m_nResetPhase = 2;
        if (m_pBinding && Accepted(m_pBinding->Lib().ColdRest(m_pBinding->Socket(),
                                                              &lan::CMtoMBinding::Callback))) {
            // A panel that never confirms the restart must not hold the run forever.
            Arm(lan::kCloseWaitTicks);
            return false;
        }
    }
    Disarm();
    DeleteBinding();
    m_nResetPhase = 1;
    return true;
}

}  // namespace kz
