// The kernel calls on object directories: the process's own, and the root
// directory that every process of the user shares.
#include <string>

#include "rtkernel/hosted/calls/support.h"
#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/root/handles.h"
#include "rtkernel/kernel.h"

namespace hosted {
namespace {

std::uint16_t TypeOf(const KernelObject& object) {
    switch (object.kind) {
        case ObjectKind::Thread:
            return static_cast<std::uint16_t>(RtObjectType::Thread);
        case ObjectKind::Process:
        case ObjectKind::RootProcess:
            return static_cast<std::uint16_t>(RtObjectType::Process);
        case ObjectKind::Mailbox:
            return static_cast<std::uint16_t>(RtObjectType::Mailbox);
        case ObjectKind::Memory:
            return static_cast<std::uint16_t>(RtObjectType::Memory);
        case ObjectKind::RootEntry:
            return object.rootEntry->LiveType();
    }
    return 0;
}

// Where a directory call goes: process 0 and the caller's own handle name the
// caller's directory, the root process's handle the root directory (opened on
// first use); any other handle is refused with its own error.
struct DirectoryOfCall {
    RootDirectory* root = nullptr;  // null: the caller's own directory
};

ErrorCode FindDirectory(Handle process, DirectoryOfCall& directory) {
    if (process == kNoHandle || process == Kernel().Self()) {
        return ErrorCode::None;
    }
    if (process == Kernel().RootProcess()) {
        return Kernel().Root(directory.root);
    }
    return Kernel().Handles().Find(process) ? ErrorCode::WrongObjectType : ErrorCode::BadHandle;
}

}  // namespace
}  // namespace hosted

using namespace hosted;

extern "C" {

bool CatalogRtHandle(Handle process, Handle object, const char* name) {
    DirectoryOfCall directory;
    if (!Succeeds(FindDirectory(process, directory))) {
        return false;
    }
    const auto target = Kernel().Handles().Find(object);
    if (!target) {
        return Fail(ErrorCode::BadHandle, false);
    }
    if (target->kind == ObjectKind::RootEntry) {
        return Fail(ErrorCode::WrongObjectType, false);  // another process's object is not ours to name
    }
    if (directory.root == nullptr) {
        return Succeeds(Kernel().Local().Catalog(name, object));
    }
    if (!Succeeds(directory.root->Catalog(name, TypeOf(*target), object))) {
        return false;
    }
    // Which directory it registered in: the operator's first question when a
    // tool looks elsewhere.
    Say("root directory " + directory.root->Path(), (std::string("registered ") + name).c_str());
    return true;
}

Handle LookupRtHandle(Handle process, const char* name, std::uint32_t waitMs) {
    DirectoryOfCall directory;
    Handle found = kBadHandle;
    if (!Succeeds(FindDirectory(process, directory))) {
        return kBadHandle;
    }
    if (directory.root == nullptr) {
        return Succeeds(Kernel().Local().Lookup(name, waitMs, found)) ? found : kBadHandle;
    }
    std::shared_ptr<RootEntry> entry;
    const bool handed = Succeeds(directory.root->Lookup(name, waitMs, entry)) &&
                        Succeeds(HandleForRootEntry(Kernel().Handles(), entry, found));
    return handed ? found : kBadHandle;
}

std::uint16_t GetRtHandleType(Handle handle) {
    const auto object = Kernel().Handles().Find(handle);
    if (!object) {
        return Fail(ErrorCode::BadHandle, std::uint16_t{0});
    }
    return TypeOf(*object);
}

bool UncatalogRtHandle(Handle process, const char* name) {
    DirectoryOfCall directory;
    if (!Succeeds(FindDirectory(process, directory))) {
        return false;
    }
    if (directory.root == nullptr) {
        return Succeeds(Kernel().Local().Uncatalog(name));
    }
    FileId removed;
    if (!Succeeds(directory.root->Uncatalog(name, removed))) {
        return false;
    }
    ForgetRootEntry(Kernel().Handles(), removed);
    return true;
}

}  // extern "C"
