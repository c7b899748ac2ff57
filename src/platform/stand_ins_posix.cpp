#include "platform/stand_ins_posix.h"

#include <atomic>

namespace kp {

namespace {
std::atomic<bool> g_standIns{false};
}  // namespace

void RequireStandIns() { g_standIns = true; }
bool StandInsRequired() { return g_standIns; }

}  // namespace kp
