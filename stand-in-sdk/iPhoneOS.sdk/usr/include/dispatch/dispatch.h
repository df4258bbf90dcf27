// The main queue and its timer (libdispatch, which libSystem re-exports).
#pragma once

#include <stdint.h>
#include <sys/cdefs.h>

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef void (*dispatch_function_t)(void*);

#define DISPATCH_TIME_NOW (0ull)

__BEGIN_DECLS
// The main queue is an object that libdispatch exports, not a function.
extern struct dispatch_queue_s _dispatch_main_q;

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
__END_DECLS

static inline dispatch_queue_t dispatch_get_main_queue(void) { return &_dispatch_main_q; }
