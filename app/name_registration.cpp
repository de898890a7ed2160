#include "app/lifecycle.h"
#include "rtkernel/kernel.h"

bool CatalogReplacingStale(Handle process, Handle object, const char* name) {
    if (CatalogRtHandle(process, object, name)) {
        return true;
    }
    const Handle holder = LookupRtHandle(process, name, 0);
    if (holder == kBadHandle) {
        return false;
    }
    if (GetRtHandleType(holder) != 0) {
        return false;  // a live object owns the name
    }
    if (!UncatalogRtHandle(process, name)) {
        return false;
    }
    return CatalogRtHandle(process, object, name);
}
