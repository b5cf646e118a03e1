// The library's thread pool: persistent workers that help a caller run the
// chunks of one job.  The caller always works on its own job too, so a job
// finishes even when every worker is busy elsewhere, and calls from several
// threads at once simply share the workers.
#pragma once

#include <cstdint>

namespace rillet {
namespace pool {

// One participant's private state, alive while it works on a job: the
// scratch memory it may need.  When it leaves the job, its thread keeps the
// block (up to 16 MiB, the largest of its calls) for its next job, and
// releases it when the thread ends.
class Local {
public:
    Local() = default;
    Local(const Local &) = delete;
    Local &operator=(const Local &) = delete;
    ~Local();
    // At least `bytes` bytes, 64-byte aligned; nullptr when memory is short.
    void *scratch(unsigned long bytes);

private:
    void *mem_ = nullptr;
    unsigned long size_ = 0;
};

// The work of one job, split into numbered chunks.  Chunks may run in any
// order and on any participating thread.
class Job {
public:
    // Called once by every participant before its first chunk; false keeps
    // a helper out of the job (the caller is asked first, by run()).
    virtual bool join(Local &) { return true; }
    virtual void chunk(int index, Local &local) = 0;

protected:
    ~Job() = default;
};

// Runs chunks 0 .. nchunks-1 of `job` on the calling thread and up to
// threads-1 workers.  Returns false, having run nothing, when the calling
// thread could not join the job.
bool run(Job &job, int nchunks, int threads);

// The work (bars times lanes) from which a call is split among threads: the
// panel engine's setting, which zv_panel_test_setup moves for tests.
int64_t min_parallel();

// The most workers one process starts.
inline constexpr int kMaxWorkers = 255;

}  // namespace pool
}  // namespace rillet
