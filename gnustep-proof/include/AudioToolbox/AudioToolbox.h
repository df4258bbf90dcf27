// Stand-in for the part of AudioToolbox the device backend uses, for the
// Linux proof build only: ProofPlatform records every request.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 SystemSoundID;

void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID);

#ifdef __cplusplus
}
#endif
