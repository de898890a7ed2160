// The process's own logic: start-up, the wait for the end, the orderly shutdown.
#pragma once

#include "rtkernel/kernel.h"

// The name under which the process stands in the root process's directory.
inline constexpr const char* kProcessName = "Zorvandelith";

// Runs start-up and then waits for the termination notification; returns 0 only
// when that wait fails.
int InitializeApplication();
// Catalogs the name, replacing an entry whose object no longer exists.
bool CatalogReplacingStale(Handle process, Handle object, const char* name);
[[noreturn]] void CleanUpApplication();
