// The names of the webhook's events, as receivers read them in each body's "event" and operators in the notifier's lines.
#pragma once

#include <string_view>

inline constexpr std::string_view kEventCpuStalled = "cpu.stalled";    // a CPU went silent past the stall time
inline constexpr std::string_view kEventJobFinished = "job.finished";  // a run ended, complete or interrupted
