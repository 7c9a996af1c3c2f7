#pragma once

#include "common/attributes.h"
#include "host/host_records.h"

namespace quillet {

HOST_ENTRY int HOST_CDECL FilterInit(FilterTable* filter);
HOST_ENTRY int HOST_CDECL FilterExit(FilterTable* filter);
HOST_ENTRY int HOST_CDECL FilterUpdate(FilterTable* filter, int code);

}  // namespace quillet

// The one export: the address of the static registration record, the same on every call.
HOST_EXPORT HOST_ENTRY quillet::FilterTable* HOST_CDECL GetFilterTable();
