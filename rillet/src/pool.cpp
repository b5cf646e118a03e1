// The thread pool.  Workers are started lazily, when a job first asks for
// more helpers than exist, and then live as long as the process: the pool is
// never torn down, so nothing waits for a worker at exit.  Workers block every
// signal, so signals keep going to the threads that expect them.
//
// A job is listed while it has helper places left; an idle worker takes the
// oldest listed job, joins it and claims chunks from its shared counter until
// none is left.  The caller claims chunks from the same counter, then unlists
// the job and waits until every helper that joined has left; only then does
// the job (which lives on the caller's stack) go away.
//
// After fork() the child has none of the parent's workers, and the parent's
// lock may have been held at that moment by a thread that no longer exists.
// The pool therefore remembers the process it belongs to; a call in another
// process leaves the old pool alone and builds a fresh one.
#include "pool.h"
#include "scratch.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

namespace rillet {
namespace pool {

namespace {

// Each thread keeps the largest scratch block of its last calls, up to
// kKeep bytes, for its next call: a block of megabytes freed and asked for
// again on every call may go back to the system and come back as fresh
// pages each time (whether it does depends on the allocator's history),
// which costs more than the work it serves.  Freed when the thread ends.
constexpr unsigned long kKeep = 16ul << 20;

struct Kept {
    void *mem = nullptr;
    unsigned long size = 0;
    ~Kept() { std::free(mem); }
};
thread_local Kept t_kept;

}  // namespace

Local::~Local() {
    if (mem_ != nullptr && size_ <= kKeep && size_ > t_kept.size) {
        std::free(t_kept.mem);
        t_kept.mem = mem_;
        t_kept.size = size_;
    } else {
        std::free(mem_);
    }
}

void *Local::scratch(unsigned long bytes) {
    if (bytes <= size_) return mem_;
    std::free(mem_);
    mem_ = nullptr;
    size_ = 0;
    if (t_kept.mem != nullptr && bytes <= t_kept.size) {
        mem_ = t_kept.mem;
        size_ = t_kept.size;
        t_kept.mem = nullptr;
        t_kept.size = 0;
        return mem_;
    }
    void *p = scratch_alloc(bytes);
    if (p == nullptr) return nullptr;
    mem_ = p;
    size_ = bytes;
    return p;
}

namespace {

struct Slot {
    Job *job;
    int nchunks;
    int max_helpers;
    std::atomic<int> next{0};  // the next unclaimed chunk
    int helpers = 0;           // helpers that have joined (guarded by the pool lock)
    int attached = 0;          // helpers still working on it (guarded by the pool lock)
    bool listed = false;
    Slot *link = nullptr;
};

struct Pool {
    explicit Pool(pid_t owner, Pool *older) : pid(owner), abandoned(older) {}
    const pid_t pid;
    Pool *const abandoned;  // the pool of the parent process, kept reachable
    std::mutex mu;
    std::condition_variable work;  // idle workers wait here for a listed job
    std::condition_variable left;  // callers wait here for their helpers to leave
    Slot *head = nullptr, *tail = nullptr;
    int workers = 0;
};

std::atomic<Pool *> g_pool{nullptr};

void claim_chunks(Slot &s, Local &local) {
    for (int c; (c = s.next.fetch_add(1, std::memory_order_relaxed)) < s.nchunks;)
        s.job->chunk(c, local);
}

void unlist(Pool &p, Slot &s) {
    Slot **at = &p.head;
    Slot *prev = nullptr;
    while (*at != &s) {
        prev = *at;
        at = &(*at)->link;
    }
    *at = s.link;
    if (p.tail == &s) p.tail = prev;
    s.listed = false;
    s.link = nullptr;
}

void *worker_main(void *arg) {
    Pool &p = *static_cast<Pool *>(arg);
    std::unique_lock<std::mutex> lk(p.mu);
    for (;;) {
        Slot *s = p.head;
        if (!s) {
            p.work.wait(lk);
            continue;
        }
        ++s->attached;
        if (++s->helpers >= s->max_helpers) unlist(p, *s);
        lk.unlock();
        {
            Local local;
            if (s->job->join(local)) claim_chunks(*s, local);
        }
        lk.lock();
        if (--s->attached == 0) p.left.notify_all();
    }
    return nullptr;
}

// Starts one more worker; false when the system refuses a thread.
bool spawn(Pool &p) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 1u << 20);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, worker_main, &p);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

// This process's pool, created on first use; nullptr when memory is short.
Pool *this_pool() {
    const pid_t pid = getpid();
    Pool *p = g_pool.load(std::memory_order_acquire);
    if (p && p->pid == pid) return p;
    Pool *fresh = new (std::nothrow) Pool(pid, p);
    if (!fresh) return nullptr;
    if (g_pool.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;  // another thread of this process installed one first
    return p;
}

}  // namespace

bool run(Job &job, int nchunks, int threads) {
    Local local;
    if (!job.join(local)) return false;
    int want = threads - 1;
    if (want > nchunks - 1) want = nchunks - 1;
    if (want > kMaxWorkers) want = kMaxWorkers;
    Pool *p = want > 0 ? this_pool() : nullptr;
    if (!p) {
        for (int c = 0; c < nchunks; ++c) job.chunk(c, local);
        return true;
    }
    Slot s;
    s.job = &job;
    s.nchunks = nchunks;
    s.max_helpers = want;
    {
        std::lock_guard<std::mutex> lk(p->mu);
        while (p->workers < want && spawn(*p)) ++p->workers;
        s.listed = true;
        if (p->tail) p->tail->link = &s; else p->head = &s;
        p->tail = &s;
    }
    for (int i = 0; i < want; ++i) p->work.notify_one();
    claim_chunks(s, local);
    std::unique_lock<std::mutex> lk(p->mu);
    if (s.listed) unlist(*p, s);
    p->left.wait(lk, [&s] { return s.attached == 0; });
    return true;
}

}  // namespace pool
}  // namespace rillet
