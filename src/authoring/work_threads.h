// Threads for make's work. Files are jobs, started in the order they were
// added while the memory they declare fits a budget, and their results are
// taken in that order, so what is written never depends on which thread ran
// what. A job may spread pieces of its own work over threads that are idle;
// the pieces are the same however many threads take them.
#ifndef UPKEEP_AUTHORING_WORK_THREADS_H_
#define UPKEEP_AUTHORING_WORK_THREADS_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace upkeep {

class WorkThreads {
 public:
  // At least one thread; they wait for work until the object goes.
  explicit WorkThreads(unsigned count);
  ~WorkThreads();
  WorkThreads(const WorkThreads&) = delete;
  WorkThreads& operator=(const WorkThreads&) = delete;

  unsigned count() const { return static_cast<unsigned>(threads_.size()); }

  // Runs fn(0) .. fn(n - 1) and returns when all have returned. The calling
  // thread takes pieces itself; threads with nothing else to do take the
  // others, so a caller that is itself a job never waits for a busy pool.
  void ForEach(size_t n, const std::function<void(size_t)>& fn);

  // Jobs in order. A job starts once those before it have started and its
  // `memory` fits in what the running and unreleased jobs leave of `budget`
  // (or nothing else holds any). Returns the job's number.
  size_t AddJob(uint64_t memory, std::function<void()> run);
  // Waits until job `index` has returned, calling `tick` about every
  // `tick_ms` milliseconds meanwhile (for progress).
  void WaitJob(size_t index, const std::function<void()>& tick, unsigned tick_ms = 100);
  // The job's memory is free again (its result was taken).
  void ReleaseJob(size_t index);
  void SetBudget(uint64_t budget);

 private:
  struct Job {
    uint64_t memory = 0;
    std::function<void()> run;
    bool started = false, done = false, released = false;
  };
  struct Batch;

  void Loop();
  void StartJobs();  // with mu_ held

  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable work_cv_;  // workers: a task or the end
  std::condition_variable done_cv_;  // waiters: a job or a piece finished
  std::deque<std::function<void()>> tasks_;
  std::vector<Job> jobs_;
  size_t next_job_ = 0;  // the first job not started
  uint64_t budget_ = UINT64_MAX;
  uint64_t in_use_ = 0;
  bool stop_ = false;
};

// The threads to use when none are given: every core.
unsigned DefaultWorkThreads();

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_WORK_THREADS_H_
