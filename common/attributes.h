#pragma once

// Every function the host calls (the export, the callbacks, stages handed to its executor) is
// marked HOST_ENTRY: the 32-bit Windows ABI promises only 4-byte stack alignment, so on i686 the
// entry realigns the stack before any spilled vector may need 16 bytes.
#if defined(__i386__) && defined(__GNUC__)
#define HOST_ENTRY __attribute__((force_align_arg_pointer))
#define HOST_CDECL __attribute__((cdecl))
#else
#define HOST_ENTRY
#define HOST_CDECL
#endif

// The exported entry point keeps its plain C name.
#if defined(_WIN32)
#define HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif
