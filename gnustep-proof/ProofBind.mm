// The proof build's binding: the unchanged device backend, with its files
// under the scratch folder the test chose instead of the device's "/".
#include "ProofPlatform.h"
#include "tweak/device/IosHost.h"

extern "C" thrumline::HostServices* thrumlineBindHost() {
    return thrumline::ios::deviceHost(thrumline::proof::fileRoot().c_str());
}
