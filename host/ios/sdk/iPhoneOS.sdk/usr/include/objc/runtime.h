// The runtime calls the device backend makes (libobjc).
#pragma once

#include <objc/objc.h>

__BEGIN_DECLS
Class objc_getClass(const char* name);
SEL sel_registerName(const char* name);
__END_DECLS
