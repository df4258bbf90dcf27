// The rounding the settings pane does (libSystem).
#pragma once

#include <sys/cdefs.h>

__BEGIN_DECLS
double round(double x);
__END_DECLS
