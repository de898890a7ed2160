#include "app/app_state.h"

#include <cstdint>

ApplicationState AppState;
Handle rootProcess;
std::uint32_t tickLength;

std::uint32_t TicksForDuration(std::uint32_t duration) {
    if (duration == kWaitForever) {
        return kWaitForever;
    }
    // Before start-up has read the tick there is nothing to divide by; handing
    // the duration back unconverted is the one answer that never shortens a wait.
    const std::uint64_t divisor = tickLength == 0 ? 1 : tickLength;
    // 64 bits so that a duration near the top of the range cannot wrap to a tiny wait.
    return static_cast<std::uint32_t>((std::uint64_t{duration} + divisor - 1) / divisor);
}
