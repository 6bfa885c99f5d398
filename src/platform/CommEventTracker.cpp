#include "platform/CommEventTracker.h"

#include <algorithm>

#include "platform/SerialDevice.h"

namespace kz::platform {

void CommEventTracker::SetMask(std::uint32_t mask) {
    mask_ = mask;
    events_ = 0;
}

void CommEventTracker::Consumed(std::size_t count) {
    reportedIn_ -= std::min(reportedIn_, count);
}

void CommEventTracker::Observe(const Observation& now) {
    if (now.inQueue > reportedIn_) {
        Raise(EV_RXCHAR);
    }
    reportedIn_ = now.inQueue;
    if (txPending_ && now.outQueue == 0) {
        txPending_ = false;
        Raise(EV_TXEMPTY);
    }
    if (now.errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_RXOVER)) {
        Raise(EV_ERR);
    }
    if (now.errors & CE_BREAK) {
        Raise(EV_BREAK);
    }
    pendingErrors_ |= now.errors;
    if (now.modemValid) {
        // The first look only learns where the lines stand.
        if (modemKnown_) {
            const std::uint32_t changed = now.modem ^ lastModem_;
            if (changed & MS_CTS_ON) {
                Raise(EV_CTS);
            }
            if (changed & MS_DSR_ON) {
                Raise(EV_DSR);
            }
            if (changed & MS_RLSD_ON) {
                Raise(EV_RLSD);
            }
            if ((changed & MS_RING_ON) && !(now.modem & MS_RING_ON)) {
                Raise(EV_RING);  // a ring ends
            }
        }
        modemKnown_ = true;
        lastModem_ = now.modem;
    }
}

std::uint32_t CommEventTracker::TakeEvents() {
    const std::uint32_t events = events_ & mask_;
    events_ = 0;
    return events;
}

std::uint32_t CommEventTracker::TakeErrors() {
    const std::uint32_t errors = pendingErrors_;
    pendingErrors_ = 0;
    return errors;
}

}  // namespace kz::platform
