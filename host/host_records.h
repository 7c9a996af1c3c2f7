#pragma once

#include <cstddef>
#include <cstdint>

#include "common/attributes.h"
#include "common/pixel.h"
#include "pipeline/filter_settings.h"
#include "rows/row_job.h"

namespace quillet {

struct FilterTable;
struct FrameProcInfo;

// Callbacks and host services use the C calling convention.
using ProcessCallback = int(HOST_CDECL*)(FilterTable* filter, FrameProcInfo* frame);
using LifecycleCallback = int(HOST_CDECL*)(FilterTable* filter);
using UpdateCallback = int(HOST_CDECL*)(FilterTable* filter, int code);

using ReserveFrameCacheFn = int(HOST_CDECL*)(FilterTable* filter, int maxWidth, int maxHeight,
                                             int frames, int flags);
using FetchFrameFn = Pixel*(HOST_CDECL*)(FilterTable* filter, void* editHandle, int frameNumber,
                                         int* width, int* height);
using RunOnThreadsFn = int(HOST_CDECL*)(RowStage stage, RowJob* job, void* extra);

// Services the host offers through the record's `services` word. Only the three entries the
// filter calls are named; the host's other entries are opaque words.
struct HostServices {
  void* reserved0[44];
  ReserveFrameCacheFn reserveFrameCache;  // +176 on i686
  void* reserved1[5];
  FetchFrameFn fetchFrame;      // +200
  RunOnThreadsFn runOnThreads;  // +204; may be null: the filter then runs stages itself
  void* reserved2[8];
};

// The host's per-frame record. Fields the filter does not use are opaque words.
struct FrameProcInfo {
  int32_t flags;
  Pixel* editFrame;     // +4: after success holds the result
  Pixel* tempFrame;     // +8: scratch frame of the same geometry
  int32_t width;        // +12: written by the host through FetchFrame
  int32_t height;       // +16
  int32_t maxWidth;     // +20: row stride in pixels of every frame
  int32_t maxHeight;    // +24: rows the frames can hold
  int32_t frameNumber;  // +28
  int32_t reserved[7];
  void* editHandle;  // +60: opaque, passed back to FetchFrame
  int32_t reserved2[8];
};

// The registration record. On i686 it is 35 little-endian words, 140 bytes, at the offsets
// pinned below; on 64-bit builds pointers are 8 bytes and only the field order is kept.
struct FilterTable {
  uint32_t flags;  // +0
  intptr_t reserved4;
  intptr_t reserved8;
  const char* name;               // +12
  int32_t trackCount;             // +16
  const char* const* trackNames;  // +20
  const int32_t* trackDefaults;   // +24
  const int32_t* trackMinimums;   // +28
  const int32_t* trackMaximums;   // +32
  int32_t checkCount;             // +36
  const char* const* checkNames;  // +40
  const int32_t* checkDefaults;   // +44
  ProcessCallback process;        // +48
  LifecycleCallback init;         // +52
  LifecycleCallback exit;         // +56
  UpdateCallback update;          // +60
  intptr_t reserved64;
  int32_t* trackValues;  // +68: filled by the host
  int32_t* checkValues;  // +72: filled by the host, 0 or 1 each
  intptr_t reserved76;
  intptr_t reserved80;
  const char* information;  // +84
  intptr_t reserved88;
  intptr_t reserved92;
  HostServices* services;  // +96: filled by the host
  intptr_t reserved100[10];
};

#if defined(__i386__)
static_assert(sizeof(FilterTable) == 140);
static_assert(offsetof(FilterTable, name) == 12);
static_assert(offsetof(FilterTable, trackCount) == 16);
static_assert(offsetof(FilterTable, trackNames) == 20);
static_assert(offsetof(FilterTable, trackDefaults) == 24);
static_assert(offsetof(FilterTable, trackMinimums) == 28);
static_assert(offsetof(FilterTable, trackMaximums) == 32);
static_assert(offsetof(FilterTable, checkCount) == 36);
static_assert(offsetof(FilterTable, checkNames) == 40);
static_assert(offsetof(FilterTable, checkDefaults) == 44);
static_assert(offsetof(FilterTable, process) == 48);
static_assert(offsetof(FilterTable, init) == 52);
static_assert(offsetof(FilterTable, exit) == 56);
static_assert(offsetof(FilterTable, update) == 60);
static_assert(offsetof(FilterTable, trackValues) == 68);
static_assert(offsetof(FilterTable, checkValues) == 72);
static_assert(offsetof(FilterTable, information) == 84);
static_assert(offsetof(FilterTable, services) == 96);
static_assert(offsetof(HostServices, reserveFrameCache) == 176);
static_assert(offsetof(HostServices, fetchFrame) == 200);
static_assert(offsetof(HostServices, runOnThreads) == 204);
static_assert(offsetof(FrameProcInfo, editFrame) == 4);
static_assert(offsetof(FrameProcInfo, tempFrame) == 8);
static_assert(offsetof(FrameProcInfo, width) == 12);
static_assert(offsetof(FrameProcInfo, height) == 16);
static_assert(offsetof(FrameProcInfo, maxWidth) == 20);
static_assert(offsetof(FrameProcInfo, maxHeight) == 24);
static_assert(offsetof(FrameProcInfo, frameNumber) == 28);
static_assert(offsetof(FrameProcInfo, editHandle) == 60);
#endif

}  // namespace quillet
