#pragma once

#include "common/attributes.h"
#include "host/host_records.h"
#include "pipeline/filter_instance.h"

namespace quillet {

// The plug-in's one filter instance, which every callback works on.
FilterInstance& pluginInstance();

// The process callback: filters frameProcInfo->frameNumber into the host's buffers and
// exchanges editFrame and tempFrame. 1 on success; 0 when the record is incomplete or the cache,
// the current frame or the motion buffers could not be had (then editFrame is untouched and the
// pointers stay).
HOST_ENTRY int HOST_CDECL FilterProc(FilterTable* filter, FrameProcInfo* frame);
HOST_ENTRY int HOST_CDECL FilterInit(FilterTable* filter);
HOST_ENTRY int HOST_CDECL FilterExit(FilterTable* filter);
HOST_ENTRY int HOST_CDECL FilterUpdate(FilterTable* filter, int code);

}  // namespace quillet

// The one export: the address of the static registration record, the same on every call.
HOST_EXPORT HOST_ENTRY quillet::FilterTable* HOST_CDECL GetFilterTable();
