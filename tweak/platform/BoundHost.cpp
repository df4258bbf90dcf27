#include "tweak/platform/HostServices.h"

namespace thrumline {

namespace {
// Set once at load and never changed: a library copy serves one process.
HostServices* boundHost = nullptr;
}  // namespace

HostServices& host() { return *boundHost; }

void bindHost() { boundHost = thrumlineBindHost(); }

}  // namespace thrumline
