// Stand-in for <mach/mach_time.h>, for the Linux proof build only: the clock
// is ProofPlatform's virtual clock, in ticks of the phone's 24 MHz timebase
// (125/3 ns a tick), so that a reader that ignores the timebase is caught.
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
