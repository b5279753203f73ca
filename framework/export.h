// Declaration of the module's exported C entry points: undecorated names, the standard
// Windows calling convention on 32-bit Windows (the .def file names them there), default
// visibility on ELF platforms.
#pragma once

#if defined(_WIN32)
#define QB_STDCALL __stdcall
#define QB_EXPORT extern "C"
#else
#define QB_STDCALL
#define QB_EXPORT extern "C" __attribute__((visibility("default")))
#endif
