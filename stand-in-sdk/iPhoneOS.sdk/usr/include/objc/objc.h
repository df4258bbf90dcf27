// The Objective-C runtime's basic types, as arm64 iOS defines them.
#pragma once

#include <sys/cdefs.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

typedef struct objc_class* Class;
typedef struct objc_object {
    Class isa;
} * id;
typedef struct objc_selector* SEL;
typedef id (*IMP)(id, SEL, ...);

// BOOL is a real bool on arm64 (a signed char elsewhere): the two differ in
// how a returned value is read.
typedef bool BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)

#ifndef nil
#ifdef __cplusplus
#define nil nullptr
#else
#define nil ((void*)0)
#endif
#endif
