#include "app/process_facts.h"

namespace kp {

namespace {
bool g_perMonitorDpiAware = true;
}  // namespace

void SetPerMonitorDpiAware(bool aware) { g_perMonitorDpiAware = aware; }

bool PerMonitorDpiAware() { return g_perMonitorDpiAware; }

}  // namespace kp
