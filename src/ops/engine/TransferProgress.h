// The progress of a transfer in bytes, for both front-ends: how much of how much has moved,
// the rate over the last seconds, the time that is left at that rate, and the area in work
// (FEPROM or SRAM of a memory operation, the category and file of a CF transfer).
//
//   Begin(total, now) ─► Area("FEPROM") ─► Moved(n, now) … ─► Snapshot(now) ─► FormatProgress
//
// The rate is taken over a sliding window (kRateWindow): the bytes moved between the oldest
// sample still inside the window and now, over that time. It is shown once the window
// holds at least kRateMinimum of time, so a first packet does not give a wild figure; the
// time left needs a known total and a rate. Samples closer than kSampleStep to the last one
// are merged, so the model stays small however fast the packets come.
//
// Times are milliseconds of the clock seam (platform::Clock().TickCount()), passed in by
// the caller so that tests can script them.
//
// Thread-safety: none; one operation's event thread owns it. The snapshot is a plain value
// that may be handed to any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace kz {

// What a front-end shows of a transfer at one moment.
struct TransferSnapshot {
    std::uint64_t done = 0;
    std::uint64_t total = 0;                   // 0: not known (a CF receive's card)
    std::optional<double> bytesPerSecond;      // none until the window holds enough time
    std::optional<std::uint32_t> secondsLeft;  // none without a total or a rate
    std::string area;                          // the area or file in work; empty: none
    bool running = true;                       // false once the run has ended (no rate, no time)

    // 0 to 100 of the total (0 without one).
    int Percent() const;
};

class CTransferProgress {
  public:
    static constexpr std::uint32_t kRateWindowMs = 10000;
    static constexpr std::uint32_t kRateMinimumMs = 1000;
    static constexpr std::uint32_t kSampleStepMs = 100;

    // Starts a new transfer of total bytes (0: not known) at time nowMs.
    void Begin(std::uint64_t total, std::uint32_t nowMs);
    void SetArea(std::string area) { m_area = std::move(area); }
    // bytes have moved by nowMs.
    void Moved(std::uint64_t bytes, std::uint32_t nowMs);
    // The run has ended: the snapshot keeps the bytes and the area, without rate or time.
    void End() { m_running = false; }

    bool Started() const { return m_started; }
    TransferSnapshot Snapshot(std::uint32_t nowMs) const;

  private:
    struct Sample {
        std::uint32_t ms;
        std::uint64_t done;
    };

    bool m_started = false;
    bool m_running = false;
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
    std::string m_area;
    std::deque<Sample> m_samples;  // oldest first; the first lies at or before the window
};

// "1.2 of 16.0 MiB · 11.3 KiB/s · 22 min left · FEPROM": the parts the snapshot has, in the
// current language. Without a total only the bytes done are shown.
std::string FormatProgress(const TransferSnapshot& snapshot);
// A byte count as "512 B", "11.3 KiB" or "16.0 MiB".
std::string FormatBytes(std::uint64_t bytes);

}  // namespace kz
