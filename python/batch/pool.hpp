// The worker threads that array calls share, and the caller's side of a run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>

#include "job.hpp"

namespace zub::batch {

// Number of cores this process may run on.
unsigned available_cores() noexcept;

// The threads a job of `size` elements takes when the caller gives no count:
// available_cores(), as last counted when the job is short enough to start
// on the calling thread alone (a count costs a system call).
unsigned default_workers(std::size_t size) noexcept;

// Makes sure the pool has at least `threads` workers, or as many as the
// system will start (GIL held).  A job of n workers takes n - 1 from the
// pool.
void reserve_workers(unsigned threads);

// Runs `job` with the interpreter lock released and returns when it is
// done.  The calling thread is one of its max_workers workers, the pool
// gives the others; a short job starts on the calling thread alone and
// takes the others only when the work left is worth waking them.  Every few
// milliseconds the calling thread takes the lock back to run pending signal
// handlers: from within the job's cancellation checks while it works (on
// the main thread only, the one that runs signal handlers), between waits
// once its share is done.  When a handler raises (Ctrl-C), the job is
// cancelled, its workers stop within their next poll, and false is returned
// with that exception set.  In a child that a handler forked, the calling
// thread does the job again alone, or returns false with the exception.
//
// Nothing here may catch or block the unwinding by which the interpreter
// ends a daemon thread that wants the lock back after finalisation began:
// the job is shared with the workers, who keep it alive until they leave.
bool run_job(const std::shared_ptr<Job>& job);

// Installs the fork handler once: a child starts with no pool and gets
// fresh workers on its first call.  Also reads which thread is the main
// one (GIL held).
void install_fork_handler();

}  // namespace zub::batch
