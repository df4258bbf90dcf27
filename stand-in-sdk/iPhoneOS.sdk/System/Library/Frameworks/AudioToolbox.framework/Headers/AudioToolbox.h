// AudioToolbox's system sounds.
#pragma once

#include <stdint.h>
#include <sys/cdefs.h>

typedef uint32_t UInt32;
typedef UInt32 SystemSoundID;

__BEGIN_DECLS
void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID);
__END_DECLS
