// The dynamic loader's dladdr (libSystem), which the settings pane finds
// its own bundle with.
#pragma once

#include <sys/cdefs.h>

typedef struct dl_info {
    const char* dli_fname;
    void* dli_fbase;
    const char* dli_sname;
    void* dli_saddr;
} Dl_info;

__BEGIN_DECLS
int dladdr(const void* address, Dl_info* info);
__END_DECLS
