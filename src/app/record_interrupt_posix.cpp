#include <signal.h>

#include "app/record_interrupt.h"

namespace kp {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<std::atomic<bool>*> gStop{nullptr};  // lock-free: read in the handler
struct sigaction gPrevious[3];

void OnSignal(int) {
  if (std::atomic<bool>* stop = gStop.load()) stop->store(true);
}

}  // namespace

RecordInterrupt::RecordInterrupt(std::atomic<bool>& stop) {
  gStop.store(&stop);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &gPrevious[i]);
}

RecordInterrupt::~RecordInterrupt() {
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &gPrevious[i], nullptr);
  gStop.store(nullptr);
}

}  // namespace kp
