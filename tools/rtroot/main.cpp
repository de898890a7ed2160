// rtroot: see, wait for and clean the names in the root directory, through
// the hosted kernel's own reading of it, so the tool and the service can never
// disagree on what an entry is or whether its holder lives.
#include <getopt.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/identity.h"
#include "rtkernel/hosted/root/inspection.h"
#include "tools/rtroot/report.h"

namespace {

using hosted::Awaited;
using hosted::EntryReport;
using hosted::ErrorCode;
using hosted::RootDirectory;

constexpr const char* kUsage =
    "usage: rtroot [--root DIR | --system] list [--json]\n"
    "       rtroot [--root DIR | --system] show NAME [--json]\n"
    "       rtroot [--root DIR | --system] wait NAME [--timeout SECONDS] [--pid PID] [--gone]\n"
    "       rtroot [--root DIR | --system] clean [--dry-run | --as-owner] [NAME...]\n"
    "       rtroot -h | --help | --version\n";

// What --help adds to the usage: where the tool looks, and what its exit
// statuses mean to a script.
constexpr const char* kHelpTail =
    "--root DIR: the root directory DIR\n"
    "--system: the system service's names, /run/zorvandelith/rtroot\n"
    "Otherwise the service's own choice: $XDG_RUNTIME_DIR/rtroot; for root without it,\n"
    "/run/zorvandelith/rtroot where /run/zorvandelith exists; else /tmp/rtroot-UID.\n"
    "wait: until NAME is live (held by PID with --pid), or with --gone until it is not.\n"
    "Exit status: 0 done, show: live; 1 show: stale, damaged or unknown, wait: not within\n"
    "the time, clean: something left; 2 show: absent; 64 bad usage or name; 65 not a root\n"
    "directory; 69 root directory refused or unusable.\n";

// show's answers, for scripts.
constexpr int kShowLive = 0;
constexpr int kShowNotLive = 1;
constexpr int kShowAbsent = 2;
constexpr int kWaitTimedOut = 1;
constexpr int kCleanIncomplete = 1;
// A directory that is not a root directory: nothing in it was read as a name.
constexpr int kNotARootDirectory = EX_DATAERR;

struct Arguments {
    std::string root;  // chosen once the options are known (ChooseRoot)
    bool rootGiven = false;
    bool system = false;
    std::string command;
    std::string name;
    std::vector<std::string> cleanNames;  // what clean was asked to remove by name
    bool json = false;
    bool dryRun = false;
    bool asOwner = false;
    std::optional<double> timeoutSeconds;
    std::int64_t pid = 0;  // wait --pid: 0 for any holder
    bool gone = false;
};

int Usage(const char* problem) {
    (void)std::fprintf(stderr, "rtroot: %s\n%s", problem, kUsage);
    return EX_USAGE;
}

// The name as it can be shown on a terminal: quoted, with control characters,
// quotes and backslashes escaped.
std::string Quoted(const std::string& name) {
    std::string text = "\"";
    for (const char byte : name) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x20 || value == 0x7F || byte == '"' || byte == '\\') {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", value);
            text += escaped;
        } else {
            text += byte;
        }
    }
    return text + "\"";
}

// Bad usage like any other, told apart by what is wrong with the name.
int BadName(const std::string& name) {
    (void)std::fprintf(stderr,
                       "rtroot: %s is not a name: a name is 1 to %zu bytes, without '/' or control "
                       "characters, and does not begin with '.'\n",
                       Quoted(name).c_str(), hosted::kMaxNameLength);
    return EX_USAGE;
}

// The kernel itself says on stderr what it tried, where and what the system
// answered for these, so a second line in other words would only repeat it.
bool KernelSaidIt(ErrorCode code) {
    switch (code) {
        case ErrorCode::RootUnavailable:
        case ErrorCode::RootNotDirectory:
        case ErrorCode::RootNotOwned:
        case ErrorCode::RootWritableByOthers:
        case ErrorCode::RootNotWritable:
        case ErrorCode::HostFailure:
        case ErrorCode::RootBusy:
        case ErrorCode::NotARootDirectory:
            return true;
        default:
            return false;
    }
}

int Refused(ErrorCode code, const std::string& root) {
    if (!KernelSaidIt(code)) {
        (void)std::fprintf(stderr, "rtroot: %s: %s\n", root.c_str(),
                           hosted::ErrorText(static_cast<std::uint32_t>(code)));
    }
    return code == ErrorCode::NotARootDirectory ? kNotARootDirectory : EX_UNAVAILABLE;
}

// Where the tool looked, for an answer that depends on it (a name not found,
// not live in time, no names at all), so that a typo in XDG_RUNTIME_DIR or a
// look into the wrong user's directory is plain.
std::string Where(const std::string& root) {
    struct stat status {};
    if (lstat(root.c_str(), &status) != 0 && errno == ENOENT) {
        return ": " + root + " does not exist";
    }
    return " in " + root;
}

bool ParseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(seconds) && seconds >= 0;
}

bool ParsePid(const char* text, std::int64_t& pid) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    pid = value;
    return errno == 0 && end != text && *end == '\0' && value > 0 && value <= INT32_MAX;
}

// Options that only some commands take, and the two ways to choose a directory.
std::optional<int> CheckCombination(const Arguments& arguments) {
    if ((arguments.json && arguments.command != "list" && arguments.command != "show") ||
        ((arguments.timeoutSeconds || arguments.pid != 0 || arguments.gone) && arguments.command != "wait") ||
        (arguments.dryRun && arguments.command != "clean") ||
        (arguments.asOwner && (arguments.command != "clean" || arguments.dryRun))) {
        return Usage("option does not go with this command");
    }
    if (arguments.rootGiven && arguments.system) {
        return Usage("--root and --system each choose the root directory: give one");
    }
    return std::nullopt;
}

// Options may stand before or after the command; the command and its name are
// the words that remain, in order.
std::optional<int> Parse(int argc, char** argv, Arguments& arguments) {
    enum { kRoot = 1, kSystem, kJson, kTimeout, kPid, kGone, kDryRun, kAsOwner, kHelp = 'h', kVersion = 256 };
    const option options[] = {{"root", required_argument, nullptr, kRoot},
                              {"system", no_argument, nullptr, kSystem},
                              {"as-owner", no_argument, nullptr, kAsOwner},
                              {"json", no_argument, nullptr, kJson},
                              {"timeout", required_argument, nullptr, kTimeout},
                              {"pid", required_argument, nullptr, kPid},
                              {"gone", no_argument, nullptr, kGone},
                              {"dry-run", no_argument, nullptr, kDryRun},
                              {"help", no_argument, nullptr, kHelp},
                              {"version", no_argument, nullptr, kVersion},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): parsed once, before anything else runs
    for (int chosen = 0; (chosen = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        double seconds = 0;
        switch (chosen) {
            case kRoot:
                arguments.root = optarg;
                arguments.rootGiven = true;
                break;
            case kSystem:
                arguments.system = true;
                break;
            case kAsOwner:
                arguments.asOwner = true;
                break;
            case kJson:
                arguments.json = true;
                break;
            case kTimeout:
                if (!ParseSeconds(optarg, seconds)) {
                    return Usage("--timeout takes a number of seconds");
                }
                arguments.timeoutSeconds = seconds;
                break;
            case kPid:
                if (!ParsePid(optarg, arguments.pid)) {
                    return Usage("--pid takes a process id, a whole number above 0");
                }
                break;
            case kGone:
                arguments.gone = true;
                break;
            case kDryRun:
                arguments.dryRun = true;
                break;
            case kHelp:
                (void)std::printf("%sDefault root directory here: %s\n%s", kUsage,
                                  hosted::DefaultRootPath().c_str(), kHelpTail);
                return EX_OK;
            case kVersion:
                (void)std::printf("rtroot %s\n", ZORVANDELITH_VERSION);
                return EX_OK;
            default:
                return Usage((std::string("unknown option or missing value: ") + argv[optind - 1]).c_str());
        }
    }
    std::vector<std::string> words(argv + optind, argv + argc);
    if (words.empty()) {
        return Usage("no command");
    }
    arguments.command = words[0];
    const bool wantsName = arguments.command == "show" || arguments.command == "wait";
    const bool known = wantsName || arguments.command == "list" || arguments.command == "clean";
    if (!known) {
        return Usage(("unknown command: " + arguments.command).c_str());
    }
    if (arguments.command == "clean") {
        arguments.cleanNames.assign(words.begin() + 1, words.end());
    } else if (words.size() != (wantsName ? 2u : 1u)) {
        return Usage(wantsName ? "the command takes one NAME" : "the command takes no NAME");
    } else if (wantsName) {
        arguments.name = words[1];
    }
    // Checked by the kernel's own rule before anything is opened, so that a
    // name no process could hold is blamed for what it is.
    if (wantsName && !hosted::ValidName(arguments.name.c_str())) {
        return BadName(arguments.name);
    }
    for (const std::string& name : arguments.cleanNames) {
        if (!hosted::ValidName(name.c_str())) {
            return BadName(name);
        }
    }
    return CheckCombination(arguments);
}

// The service's own default (identity.h), or the system service's directory.
std::string ChooseRoot(const Arguments& arguments) {
    if (arguments.rootGiven) {
        return arguments.root;
    }
    return arguments.system ? hosted::kSystemServiceRoot : hosted::DefaultRootPath();
}

// Root looks at another user's names as that user: it takes the owner's
// identity for good, before the kernel's code first asks who the process is,
// so that the kernel's own reading, checks and refusals apply unchanged and
// nothing the owner put in the directory can make root do what the owner could
// not. Only clean writes there, and only when asked with --as-owner.
std::optional<int> TakeOwnersIdentity(const Arguments& arguments) {
    if (geteuid() != 0) {
        return std::nullopt;
    }
    const std::optional<struct stat> owner = hosted::OwnerOfRootDirectory(arguments.root);
    if (!owner || owner->st_uid == 0) {
        return std::nullopt;
    }
    struct stat itself {};
    const bool exists = lstat(arguments.root.c_str(), &itself) == 0;
    if (arguments.command == "clean" && exists && !arguments.dryRun && !arguments.asOwner) {
        (void)std::fprintf(stderr,
                           "rtroot: %s: belongs to user %u, not root: clean it as that user with "
                           "--as-owner, or see first with --dry-run\n",
                           arguments.root.c_str(), static_cast<unsigned>(owner->st_uid));
        return EX_USAGE;
    }
    uid_t taken = 0;
    if (hosted::ActAsOwnerOf(arguments.root, taken) != ErrorCode::None) {
        return EX_UNAVAILABLE;  // said by the kernel
    }
    return std::nullopt;
}

// No directory lists as an empty one: no names, and the same header.
int List(RootDirectory* root, const Arguments& arguments) {
    std::vector<rtroot::Row> rows;
    if (root != nullptr) {
        std::vector<std::string> names;
        if (const ErrorCode listed = hosted::ListNames(*root, names); listed != ErrorCode::None) {
            return Refused(listed, arguments.root);
        }
        for (const std::string& name : names) {
            EntryReport report;
            // A name gone since the listing is not listed.
            if (hosted::Describe(*root, name.c_str(), report) == ErrorCode::None) {
                rows.push_back({name, report});
            }
        }
    }
    (void)std::fputs((arguments.json ? rtroot::Json(rows) : rtroot::Table(rows, std::time(nullptr))).c_str(),
                     stdout);
    if (rows.empty()) {
        (void)std::fflush(stdout);  // the header first, where both reach one terminal
        (void)std::fprintf(stderr, "rtroot: no names%s\n", Where(arguments.root).c_str());
    }
    return EX_OK;
}

int Show(RootDirectory* root, const Arguments& arguments) {
    EntryReport report;
    const ErrorCode found =
        root != nullptr ? hosted::Describe(*root, arguments.name.c_str(), report) : ErrorCode::NameNotFound;
    if (found == ErrorCode::NameNotFound) {
        (void)std::fprintf(stderr, "rtroot: %s: no such name%s\n", arguments.name.c_str(),
                           Where(arguments.root).c_str());
        if (arguments.json) {  // a script's jq still gets an object
            (void)std::fputs(rtroot::JsonAbsent(arguments.name).c_str(), stdout);
        }
        return kShowAbsent;
    }
    if (found != ErrorCode::None) {
        return Refused(found, arguments.root);
    }
    const std::vector<rtroot::Row> rows = {{arguments.name, report}};
    (void)std::fputs(
        (arguments.json ? rtroot::JsonObject(rows.front()) : rtroot::Table(rows, std::time(nullptr))).c_str(),
        stdout);
    return report.state == EntryReport::State::Live ? kShowLive : kShowNotLive;
}

// What a wait that ran out did not see, for its one line on stderr.
std::string NotSeen(const Arguments& arguments) {
    const std::string holder =
        arguments.pid != 0 ? "held by process " + std::to_string(arguments.pid) : std::string("live");
    return (arguments.gone ? "still " + holder : "not " + holder) + Where(arguments.root) +
           " within the time";
}

// Waiting creates nothing: a directory that is not there yet, or that is
// removed and made again meanwhile, is waited for.
int Wait(const Arguments& arguments) {
    const std::uint32_t waitMs =
        arguments.timeoutSeconds
            ? static_cast<std::uint32_t>(std::min(*arguments.timeoutSeconds * 1000.0, 4e9))
            : kWaitForever;
    const Awaited awaited = {!arguments.gone, arguments.pid};
    const ErrorCode result = hosted::WaitForName(arguments.root, arguments.name.c_str(), awaited, waitMs);
    if (result == ErrorCode::TimedOut) {
        (void)std::fprintf(stderr, "rtroot: %s: %s\n", arguments.name.c_str(), NotSeen(arguments).c_str());
        return kWaitTimedOut;
    }
    if (result == ErrorCode::NotOwner) {
        (void)std::fprintf(stderr, "rtroot: %s: process %lld ended without holding it%s\n",
                           arguments.name.c_str(), static_cast<long long>(arguments.pid),
                           Where(arguments.root).c_str());
        return kWaitTimedOut;
    }
    return result == ErrorCode::None ? EX_OK : Refused(result, arguments.root);
}

// Why a thing at a name is left by a clean that was not asked for it by name.
const char* WhyLeft(const EntryReport& report) {
    switch (report.kind) {
        case hosted::EntryKind::Unlockable:
            return "a symlink, FIFO, socket or device, which no kernel wrote";
        case hosted::EntryKind::ForeignFile:
            return "a file of another user";
        default:
            return report.state == EntryReport::State::Unknown
                       ? "an entry that cannot be read, whose holder cannot be told"
                       : "a file that is not a whole entry, which no kernel wrote";
    }
}

// Says what a removal did; false when it failed for a reason to report.
bool Removed(const std::string& name, const char* state, ErrorCode result, const hosted::FileId& removed) {
    if (result == ErrorCode::None) {
        // Removed by someone else since it was looked at: not this run's doing.
        if (removed != hosted::FileId{}) {
            (void)std::printf("removed %s (%s)\n", name.c_str(), state);
        }
        return true;
    }
    if (result == ErrorCode::NotOwner || result == ErrorCode::NameNotFound) {
        return true;  // came alive, or went, meanwhile: nothing of this run's to say
    }
    (void)std::fprintf(stderr, "rtroot: %s: %s\n", name.c_str(),
                       hosted::ErrorText(static_cast<std::uint32_t>(result)));
    return false;
}

// With --dry-run, says what would go; otherwise removes it within scope.
// False when the removal failed for a reason to report.
bool RemoveOrSayWould(RootDirectory& root, const std::string& name, const char* state,
                      hosted::Ownerless scope, bool dryRun) {
    if (dryRun) {
        (void)std::printf("would remove %s (%s)\n", name.c_str(), state);
        return true;
    }
    hosted::FileId removed;
    return Removed(name, state, root.Clean(name.c_str(), scope, removed), removed);
}

// Unasked, only what the kernel itself shows to be dead: entries whose holder
// has died, and work files whose writer died before it linked them. Anything
// else at a name is reported and left, unless the operator names it.
int CleanUnasked(RootDirectory& root, const Arguments& arguments) {
    std::vector<std::string> names;
    if (const ErrorCode listed = hosted::ListNames(root, names); listed != ErrorCode::None) {
        return Refused(listed, arguments.root);
    }
    int status = EX_OK;
    for (const std::string& name : names) {
        EntryReport report;
        if (hosted::Describe(root, name.c_str(), report) != ErrorCode::None ||
            report.state == EntryReport::State::Live) {
            continue;
        }
        const char* state = rtroot::StateName(report.state);
        if (report.kind == hosted::EntryKind::Directory) {
            (void)std::printf("left %s (%s): a directory, never removed\n", name.c_str(), state);
        } else if (report.state != EntryReport::State::Stale) {
            (void)std::printf("left %s (%s): %s; rtroot clean %s removes it\n", name.c_str(), state,
                              WhyLeft(report), name.c_str());
        } else if (!RemoveOrSayWould(root, name, state, hosted::Ownerless::DeadEntriesOnly,
                                     arguments.dryRun)) {
            status = kCleanIncomplete;
        }
    }
    std::vector<std::string> workFiles;
    if (const ErrorCode swept = root.RemoveAbandonedWorkFiles(arguments.dryRun, workFiles);
        swept != ErrorCode::None) {
        return Refused(swept, arguments.root);
    }
    for (const std::string& file : workFiles) {
        (void)std::printf("%s %s (abandoned work file)\n", arguments.dryRun ? "would remove" : "removed",
                          file.c_str());
    }
    return status;
}

// What the operator names goes whatever it is, once it has no live owner;
// a directory is never removed.
int CleanNamed(RootDirectory& root, const Arguments& arguments) {
    int status = EX_OK;
    for (const std::string& name : arguments.cleanNames) {
        EntryReport report;
        const ErrorCode described = hosted::Describe(root, name.c_str(), report);
        if (described == ErrorCode::NameNotFound) {
            (void)std::fprintf(stderr, "rtroot: %s: no such name%s\n", name.c_str(),
                               Where(arguments.root).c_str());
            status = kCleanIncomplete;
            continue;
        }
        if (described != ErrorCode::None) {
            return Refused(described, arguments.root);
        }
        const char* state = rtroot::StateName(report.state);
        if (report.state == EntryReport::State::Live || report.kind == hosted::EntryKind::Directory) {
            (void)std::fprintf(
                stderr, "rtroot: %s: left: %s\n", name.c_str(),
                report.kind == hosted::EntryKind::Directory ? "a directory" : "its holder lives");
            status = kCleanIncomplete;
        } else if (!RemoveOrSayWould(root, name, state, hosted::Ownerless::Anything, arguments.dryRun)) {
            status = kCleanIncomplete;
        }
    }
    return status;
}

int Clean(RootDirectory& root, const Arguments& arguments) {
    return arguments.cleanNames.empty() ? CleanUnasked(root, arguments) : CleanNamed(root, arguments);
}

int Run(int argc, char** argv) {
    Arguments arguments;
    if (const std::optional<int> done = Parse(argc, argv, arguments)) {
        return *done;
    }
    arguments.root = ChooseRoot(arguments);
    if (const std::optional<int> refused = TakeOwnersIdentity(arguments)) {
        return *refused;
    }
    if (arguments.command == "wait") {
        return Wait(arguments);
    }
    // Looking leaves nothing behind: a missing directory is not created.
    std::unique_ptr<RootDirectory> root;
    const ErrorCode opened = RootDirectory::OpenExisting(arguments.root, root);
    if (opened != ErrorCode::None && opened != ErrorCode::NameNotFound) {
        return Refused(opened, arguments.root);
    }
    if (arguments.command == "list") {
        return List(root.get(), arguments);
    }
    if (arguments.command == "show") {
        return Show(root.get(), arguments);
    }
    if (root == nullptr) {
        (void)std::fprintf(stderr, "rtroot: nothing to clean%s\n", Where(arguments.root).c_str());
        return arguments.cleanNames.empty() ? EX_OK : kCleanIncomplete;
    }
    return Clean(*root, arguments);
}

}  // namespace

// Nothing the tool is given should make it throw; should anything still do
// so (out of memory, say), it ends with a message rather than an abort.
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "rtroot: internal error: %s\n", error.what());
    } catch (...) {
        (void)std::fputs("rtroot: internal error\n", stderr);
    }
    return EX_SOFTWARE;
}
