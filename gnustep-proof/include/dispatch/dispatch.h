// Stand-in for the part of libdispatch the device backend uses, for the Linux
// proof build only: the main queue runs on ProofPlatform's virtual clock.
// As in Apple's headers, dispatch_get_main_queue is a function-like macro
// over an exported object, so the backend meets the same macro here as on
// the device.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef void (*dispatch_function_t)(void*);

#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)

extern struct dispatch_queue_s _dispatch_main_q;
#define dispatch_get_main_queue() (&_dispatch_main_q)

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);

#ifdef __cplusplus
}
#endif
