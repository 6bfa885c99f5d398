#include "ops/engine/TransferProgress.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"

namespace kz {

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr const char* kSeparator = " \xC2\xB7 ";  // " · "

enum class Unit { Bytes, KiB, MiB };

Unit UnitOf(std::uint64_t bytes) {
    if (bytes >= kMiB) {
        return Unit::MiB;
    }
    return bytes >= kKiB ? Unit::KiB : Unit::Bytes;
}

// The number alone in unit: "512", "11.3", "16.0".
std::string Amount(double bytes, Unit unit) {
    switch (unit) {
        case Unit::MiB:
            return Format("%.1f", bytes / static_cast<double>(kMiB));
        case Unit::KiB:
            return Format("%.1f", bytes / static_cast<double>(kKiB));
        case Unit::Bytes:
            break;
    }
    return Format("%.0f", bytes);
}

const char* Symbol(Unit unit) {
    switch (unit) {
        case Unit::MiB:
            return "MiB";
        case Unit::KiB:
            return "KiB";
        case Unit::Bytes:
            break;
    }
    return "B";
}

std::string TimeLeft(std::uint32_t seconds) {
    if (seconds < 60) {
        return Format(GetString(msg::kProgressSecondsLeft).c_str(), static_cast<int>(seconds));
    }
    const std::uint32_t minutes = (seconds + 59) / 60;
    if (minutes < 60) {
        return Format(GetString(msg::kProgressMinutesLeft).c_str(), static_cast<int>(minutes));
    }
    return Format(GetString(msg::kProgressHoursLeft).c_str(), static_cast<int>(minutes / 60),
                  static_cast<int>(minutes % 60));
}

}  // namespace

int TransferSnapshot::Percent() const {
    if (total == 0) {
        return 0;
    }
    return static_cast<int>(std::min<std::uint64_t>(done, total) * 100 / total);
}

void CTransferProgress::Begin(std::uint64_t total, std::uint32_t nowMs) {
    m_started = true;
    m_running = true;
    m_total = total;
    m_done = 0;
    m_area.clear();
    m_samples.assign(1, Sample{nowMs, 0});
}

void CTransferProgress::Moved(std::uint64_t bytes, std::uint32_t nowMs) {
    if (!m_started) {
        Begin(0, nowMs);
    }
    m_done += bytes;
    if (!m_samples.empty() && nowMs - m_samples.back().ms < kSampleStepMs) {
        m_samples.back().done = m_done;  // merged: the sample keeps its time
    } else {
        m_samples.push_back(Sample{nowMs, m_done});
    }
    // The first sample stays the newest one at or before the window's start.
    while (m_samples.size() >= 2 && nowMs - m_samples[1].ms >= kRateWindowMs) {
        m_samples.pop_front();
    }
}

TransferSnapshot CTransferProgress::Snapshot(std::uint32_t nowMs) const {
    TransferSnapshot s;
    s.done = m_done;
    s.total = m_total;
    s.area = m_area;
    s.running = m_running;
    if (!m_running || m_samples.empty()) {
        return s;
    }
    // The newest sample at or before the window's start (or the oldest one there is).
    const Sample* base = &m_samples.front();
    for (const Sample& sample : m_samples) {
        if (nowMs - sample.ms >= kRateWindowMs) {
            base = &sample;
        }
    }
    const std::uint32_t span = nowMs - base->ms;
    if (span < kRateMinimumMs) {
        return s;
    }
    const double rate = static_cast<double>(m_done - base->done) * 1000.0 / span;
    s.bytesPerSecond = rate;
    if (m_total > m_done && rate > 0.0) {
        const double left = std::ceil(static_cast<double>(m_total - m_done) / rate);
        s.secondsLeft = static_cast<std::uint32_t>(
            std::min(left, static_cast<double>(std::numeric_limits<std::uint32_t>::max())));
    } else if (m_total != 0 && m_total <= m_done) {
        s.secondsLeft = 0;
    }
    return s;
}

std::string FormatBytes(std::uint64_t bytes) {
    const Unit unit = UnitOf(bytes);
    return Amount(static_cast<double>(bytes), unit) + " " + Symbol(unit);
}

std::string FormatProgress(const TransferSnapshot& s) {
    std::string text;
    if (s.total == 0 && s.done == 0) {
        // Nothing counted yet, or a transfer that tells only its area.
    } else if (s.total != 0) {
        const Unit unit = UnitOf(s.total);
        const std::string total = Amount(static_cast<double>(s.total), unit) + " " + Symbol(unit);
        text = Format(GetString(msg::kProgressOf).c_str(),
                      Amount(static_cast<double>(s.done), unit).c_str(), total.c_str());
    } else {
        text = FormatBytes(s.done);
    }
    const auto append = [&text](const std::string& part) {
        text += text.empty() ? part : kSeparator + part;
    };
    if (s.running && s.bytesPerSecond) {
        const Unit unit = UnitOf(static_cast<std::uint64_t>(*s.bytesPerSecond));
        const std::string rate = Amount(*s.bytesPerSecond, unit) + " " + Symbol(unit);
        append(Format(GetString(msg::kProgressRate).c_str(), rate.c_str()));
    }
    if (s.running && s.secondsLeft) {
        append(TimeLeft(*s.secondsLeft));
    }
    if (!s.area.empty()) {
        append(s.area);
    }
    return text;
}

}  // namespace kz
