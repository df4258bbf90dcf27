// The runtime calls the device backend and the settings pane make (libobjc).
#pragma once

#include <objc/objc.h>
#include <stddef.h>

typedef struct objc_ivar* Ivar;

__BEGIN_DECLS
Class objc_getClass(const char* name);
SEL sel_registerName(const char* name);
Class object_getClass(id object);
Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
void objc_registerClassPair(Class cls);
BOOL class_addMethod(Class cls, SEL name, IMP imp, const char* types);
Ivar class_getInstanceVariable(Class cls, const char* name);
ptrdiff_t ivar_getOffset(Ivar ivar);
__END_DECLS
