// What a process of ours says when an exception escapes everything that
// could catch it: one line on stderr in the form of the hosted kernel's other
// diagnostics, "<program>: terminated: <what>", then abort, so a core dump
// and the exit status still say what the C++ runtime's own handler would.
//
// It stands in for that handler, which prints the exception's demangled type
// name and links the symbol demangler for it: a twentieth of the static
// binary, and pages every start maps in. So this file is linked only where
// the C++ runtime is linked in, as an object of the program itself, where
// the runtime's own definition then stays out.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "rtkernel/hosted/host_output.h"

namespace {

// A reader of stderr that takes nothing for this long does not keep the
// process from its abort.
constexpr auto kStderrPatience = std::chrono::seconds(1);

[[noreturn]] void SayWhatEscapedAndAbort() noexcept {
    const char* what = "a function that must not throw threw, or termination was asked for";
    if (const std::exception_ptr escaped = std::current_exception()) {
        what = "an exception of a type that is no std::exception escaped";
        try {
            std::rethrow_exception(escaped);
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {  // NOLINT(bugprone-empty-catch): the text above says it
        }
    }
    // Put together on the stack, since the exception may well be a failed
    // allocation, and written in one go, bounded as every diagnostic is.
    char line[512];
    const int length =
        std::snprintf(line, sizeof line, "%s: terminated: %s\n", program_invocation_short_name, what);
    if (length > 0) {
        std::size_t size = static_cast<std::size_t>(length);
        if (size >= sizeof line) {  // cut short: the line still ends
            size = sizeof line - 1;
            line[size - 1] = '\n';
        }
        // Nowhere to say it, or nobody reading: the abort still tells.
        (void)hosted::WriteWithin(STDERR_FILENO, line, size, kStderrPatience);
    }
    std::abort();
}

}  // namespace

// The C++ runtime's variable for the handler in force until std::set_terminate
// replaces it. Its name is the runtime's own, hence reserved.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cppcoreguidelines-avoid-non-const-global-variables)
namespace __cxxabiv1 {
extern std::terminate_handler __terminate_handler;
std::terminate_handler __terminate_handler = SayWhatEscapedAndAbort;
}  // namespace __cxxabiv1
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cppcoreguidelines-avoid-non-const-global-variables)
