// The main thread's wait for the end, between start-up and the shutdown.
#pragma once

// Blocks on kernel notifications and runs the orderly shutdown on termination,
// so it returns only when the wait itself fails, after reporting that.
void WaitForTermination();
