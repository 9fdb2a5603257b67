#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "ref.hpp"

namespace zub::batch {
namespace {

// How often the calling thread looks for pending signals.
constexpr auto kSignalPoll = std::chrono::milliseconds(5);

// CPUs that a job tracks (Job::cpus).
constexpr int kTracked = 64;

// Moves a worker that joins `job` off a CPU where another of its workers
// started, to a CPU that none of them took, when the thread may run there.
// The kernel now and then queues workers woken together on the same idle
// CPU and leaves the other CPUs idle for a good part of a short job.  The
// thread's affinity is narrowed only for the move and restored at once: it
// stays free to migrate.
// This module's thread-local data (among it the C++ runtime's exception
// state) is allocated on a thread's first use of it, and when that
// allocation fails the C library ends the process.  A thread that prices
// uses it first when it throws, which is when memory has run out (an
// allocation failed): so every thread that works on a job uses it at once,
// while the memory is there.
// (The runtime declares the call pure: its result is kept, so that the
// compiler cannot drop it.)
void allocate_thread_locals() noexcept {
    volatile int pending = std::uncaught_exceptions();
    static_cast<void>(pending);
}

void spread_out(Job& job) noexcept {
    int cpu = sched_getcpu();
    if (cpu < 0 || cpu >= kTracked) return;
    const std::uint64_t taken = job.cpus.fetch_or(std::uint64_t{1} << cpu, std::memory_order_relaxed);
    if ((taken >> cpu & 1U) == 0) return;
    cpu_set_t allowed;
    if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) return;
    cpu_set_t free_cpus;
    CPU_ZERO(&free_cpus);
    for (std::size_t c = 0; c < kTracked; ++c) {
        if (CPU_ISSET(c, &allowed) && (taken >> c & 1U) == 0) CPU_SET(c, &free_cpus);
    }
    if (CPU_COUNT(&free_cpus) == 0 || pthread_setaffinity_np(pthread_self(), sizeof free_cpus, &free_cpus) != 0) return;
    // Once more if need be: a worker must not stay confined.
    if (pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) {
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    }
    cpu = sched_getcpu();
    if (cpu >= 0 && cpu < kTracked) job.cpus.fetch_or(std::uint64_t{1} << cpu, std::memory_order_relaxed);
}

class Pool {
public:
    // Starts workers until there are `threads`, one at a time: the next is
    // started once the last has its thread-local data, so that starting
    // the next cannot take the memory that data needs.
    void reserve(unsigned threads) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (started_ < threads) {
            bool ready = false;
            // Workers hold no resource the process must release at exit, so
            // they are detached and the pool itself is never destroyed.
            try {
                std::thread([this, &ready] { work(ready); }).detach();
            } catch (const std::system_error&) {
                return;  // the system starts no more threads: jobs run on those there are
            }
            started_worker_.wait(lock, [&] { return ready; });
            ++started_;
        }
    }

    void submit(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(job);
        }
        wake_.notify_all();
    }

    // Waits for the job's workers to leave, awake, for at most `limit`:
    // they finish close to the caller, and a sleeping thread of a virtual
    // machine may take tens of microseconds to wake.  It yields its core
    // to any thread that is ready to run there (a worker among them, when
    // there are more threads than cores).
    static void spin(const Job& job, std::chrono::microseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (job.active.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
    }

    // Waits up to `timeout` for the job to end; true when it has.
    bool wait(Job& job, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return job.finished.wait_for(lock, timeout, [&] { return done(job); });
    }

    // Stops the job: no worker joins it any more, those inside stop at their
    // next poll.
    void cancel(Job& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        job.cancel.store(true, std::memory_order_relaxed);
        drop(job);
    }

private:
    static bool exhausted(const Job& job) {
        return job.stopped() || job.next.load(std::memory_order_relaxed) >= job.size;
    }
    static bool done(const Job& job) { return exhausted(job) && job.active == 0; }

    void drop(const Job& job) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->get() == &job) {
                queue_.erase(it);
                return;
            }
        }
    }

    // The first queued job that still has work and room for a worker.
    std::shared_ptr<Job> pick() {
        for (auto it = queue_.begin(); it != queue_.end();) {
            Job& job = **it;
            if (exhausted(job)) {
                it = queue_.erase(it);
                continue;
            }
            if (job.joined < job.max_workers) return *it;
            ++it;
        }
        return nullptr;
    }

    // `ready` is set, and then no longer used, once the thread has its
    // thread-local data.
    void work(bool& ready) {
        allocate_thread_locals();
        std::unique_lock<std::mutex> lock(mutex_);
        ready = true;
        started_worker_.notify_all();
        for (;;) {
            std::shared_ptr<Job> job;
            wake_.wait(lock, [&] { return (job = pick()) != nullptr; });
            ++job->joined;
            ++job->active;
            lock.unlock();
            spread_out(*job);
            job->work();
            lock.lock();
            --job->active;
            if (done(*job)) {
                drop(*job);
                job->finished.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable started_worker_;
    std::deque<std::shared_ptr<Job>> queue_;
    unsigned started_ = 0;
};

// The live pool, created on first use.  A forked child cannot use its
// parent's (the workers did not come along, and a lock may have been held
// at the fork): the child's handler moves it aside, still referenced so
// that leak checkers see it as reachable, and the next call builds anew.
Pool* live = nullptr;
std::vector<Pool*> abandoned;
// Forks this process has gone through, counted in each child: a call that
// sees it change learns that it runs in a child.
std::atomic<unsigned> forks{0};
// The interpreter's main thread, the one that runs signal handlers and that
// finalisation never ends: threading's main thread, read when the module
// loads, and in a forked child the thread that forked (made main by the
// interpreter).  0 when it could not be told.
unsigned long main_thread = 0;
// Whether that thread is known to be the process's first thread.
bool main_is_first = false;

Pool& pool() {
    if (live == nullptr) live = new Pool();
    return *live;
}

void after_fork_in_child() {
    forks.fetch_add(1, std::memory_order_relaxed);
    main_thread = PyThread_get_thread_ident();
    main_is_first = true;
    if (live == nullptr) return;
    abandoned.push_back(live);
    live = nullptr;
}

}  // namespace

namespace {

std::atomic<unsigned> counted_cores{0};

unsigned count_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

}  // namespace

unsigned available_cores() noexcept {
    const unsigned n = count_cores();
    counted_cores.store(n, std::memory_order_relaxed);
    return n;
}

void reserve_workers(unsigned threads) {
    // The calling thread works on the job too: its data first, before the
    // workers' stacks take the memory.
    allocate_thread_locals();
    pool().reserve(threads);
}

void install_fork_handler() {
    static bool installed = false;
    if (installed) return;
    // abandoned must not reallocate inside the handler.
    abandoned.reserve(64);
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    installed = true;
    const py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    const py::Ref main = py::Ref::steal(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    const py::Ref ident = py::Ref::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    main_thread = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr) main_thread = 0;
    main_is_first = main_thread == PyThread_get_thread_ident() && ::gettid() == ::getpid();
    PyErr_Clear();  // the calling thread then never polls: Ctrl-C waits for the end of the call
}

namespace {

// Takes the interpreter lock back.  Once finalisation has begun the
// interpreter would end this (daemon) thread by unwinding it through the
// caller's frames; it waits here instead until the process exits.  (A
// finalisation that begins between the check and the call still unwinds,
// which the shared unwinder handles.)
void reacquire(PyThreadState* saved) {
    while (!Py_IsInitialized()) std::this_thread::sleep_for(std::chrono::seconds(1));
    PyEval_RestoreThread(saved);
}

// Whether the calling thread (holding the lock) is that thread and the
// process's first thread both.
bool on_main_thread() noexcept {
    return main_thread != 0 && PyThread_get_thread_ident() == main_thread && (main_is_first || ::gettid() == ::getpid());
}

// How long the calling thread, its share done, waits awake for the others.
constexpr auto kSpinLimit = std::chrono::microseconds(500);

// How often the calling thread polls while it works: less often than while
// it waits, since each poll may wait for the lock while the work stands.
constexpr auto kWorkingPoll = std::chrono::milliseconds(25);

}  // namespace

bool Job::poll_signals() noexcept {
    if (pthread_equal(pthread_self(), caller) == 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll) return false;
    next_poll = now + kWorkingPoll;
    return run_signal_handlers();
}

bool Job::run_signal_handlers() noexcept {
    PyEval_RestoreThread(static_cast<PyThreadState*>(caller_state));
    interrupted = PyErr_CheckSignals() != 0;
    caller_state = PyEval_SaveThread();
    if (interrupted) cancel.store(true, std::memory_order_relaxed);
    return interrupted;
}

namespace {

// A short job runs on the calling thread alone: waking a worker and waiting
// for it costs tens of microseconds, as much as a few hundred European
// options.  The calling thread starts alone, on chunks that double from
// min_chunk elements, and asks the pool for help once the work left, at the
// pace of the chunks done, would take it longer than kWorthHelp: whatever the
// options cost each, a call below the break-even keeps one thread.  Jobs of
// more than kAloneLimit elements ask for help at once.
constexpr std::chrono::duration<double, std::micro> kWorthHelp{100.0};
constexpr std::size_t kAloneLimit = 4096;

// Runs the job's first chunks on the calling thread alone; true when work
// is left that is worth the pool's help.
bool start_alone(Job& job) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t begin = 0;
    while (begin < job.size && !job.cancelled()) {
        // Each chunk as long as all before it: few chunks, and the pace
        // known after the first.
        const std::size_t length = std::max(job.min_chunk, begin / job.min_chunk * job.min_chunk);
        const std::size_t end = std::min(begin + length, job.size);
        job.next.store(end, std::memory_order_relaxed);  // no worker has the job yet
        job.body(begin, end);
        begin = end;
        const auto spent = std::chrono::steady_clock::now() - start;
        const double left = static_cast<double>(job.size - end) / static_cast<double>(end);
        if (left * std::chrono::duration<double, std::micro>(spent) > kWorthHelp) return true;
    }
    return false;
}

}  // namespace

unsigned default_workers(std::size_t size) noexcept {
    const unsigned known = counted_cores.load(std::memory_order_relaxed);
    return size <= kAloneLimit && known != 0 ? known : available_cores();
}

bool run_job(const std::shared_ptr<Job>& job) {
    // The calling thread works as one of the job's workers: one worker
    // fewer to wake, and the others are woken while its core is busy, so
    // the kernel places them on other cores.
    job->caller = pthread_self();
    job->caller_polls = on_main_thread();
    job->next_poll = std::chrono::steady_clock::now() + kWorkingPoll;
    job->caller_state = PyEval_SaveThread();
    job->workers = job->max_workers;
    // Read after the start alone, which may run a handler that forks: such a
    // child then builds a pool of its own.
    Pool* helpers = job->max_workers > 1 && (job->size > kAloneLimit || start_alone(*job)) && !job->stopped()
                        ? &pool()
                        : nullptr;
    if (helpers != nullptr) {
        job->max_workers -= 1;
        const int cpu = sched_getcpu();
        if (cpu >= 0 && cpu < kTracked) job->cpus.store(std::uint64_t{1} << cpu, std::memory_order_relaxed);
        helpers->submit(job);
    }
    const unsigned forks_before = forks.load(std::memory_order_relaxed);
    const auto forked = [&] { return forks.load(std::memory_order_relaxed) != forks_before; };
    job->work();
    // A signal handler that the calling thread runs may fork: the child has
    // none of the workers, whose count the job still holds, and none of the
    // chunks they held, and the pool's lock may have been held at the fork.
    if (helpers != nullptr && !forked()) {
        if (job->interrupted) {
            helpers->cancel(*job);
        } else {
            Pool::spin(*job, kSpinLimit);
        }
        // Only the main thread takes the lock before the workers are done:
        // another would wait for nothing (no signal handler runs there), and
        // finalisation may end it while the workers still run.
        while (!forked() && !helpers->wait(*job, kSignalPoll)) {
            if (job->interrupted || !job->caller_polls) continue;
            if (job->run_signal_handlers() && !forked()) helpers->cancel(*job);
        }
    }
    // In such a child the job is done again, whole, on this thread alone
    // (every element writes only its own outputs), unless a handler raised.
    if (helpers != nullptr && forked() && !job->interrupted) job->body(0, job->size);
    reacquire(static_cast<PyThreadState*>(job->caller_state));
    return !job->interrupted;
}

}  // namespace zub::batch
