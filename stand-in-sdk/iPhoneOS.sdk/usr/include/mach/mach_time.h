// The monotonic clock of <mach/mach_time.h>, as far as the device backend
// uses it. The Linux proof build includes it too (gnustep-proof/include/mach
// is a link here); its ProofPlatform answers on a virtual clock in ticks of
// an assumed 24 MHz timebase (125/3), as the simulated host does.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

uint64_t mach_absolute_time(void);
kern_return_t mach_timebase_info(mach_timebase_info_t info);

#ifdef __cplusplus
}
#endif
