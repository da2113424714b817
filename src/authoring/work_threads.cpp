#include "authoring/work_threads.h"

#include <chrono>
#include <memory>

namespace upkeep {

struct WorkThreads::Batch {
  const std::function<void(size_t)>* fn = nullptr;
  size_t n = 0;
  size_t next = 0;  // the first piece not taken
  size_t done = 0;
};

WorkThreads::WorkThreads(unsigned count) {
  if (count == 0) count = 1;
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { Loop(); });
}

WorkThreads::~WorkThreads() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkThreads::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, nothing left
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

void WorkThreads::ForEach(size_t n, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  auto batch = std::make_shared<Batch>();
  batch->fn = &fn;
  batch->n = n;
  // Takes pieces until none is left; the caller and any helper run this.
  auto take = [this](Batch* b) {
    std::unique_lock<std::mutex> lock(mu_);
    while (b->next < b->n) {
      const size_t i = b->next++;
      lock.unlock();
      (*b->fn)(i);
      lock.lock();
      if (++b->done == b->n) done_cv_.notify_all();
    }
  };
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Helpers go first in line: a job's pieces finish before new jobs start.
    const size_t helpers = std::min<size_t>(n - 1, threads_.size());
    for (size_t i = 0; i < helpers; ++i) tasks_.push_front([batch, take] { take(batch.get()); });
  }
  work_cv_.notify_all();
  take(batch.get());
  std::unique_lock<std::mutex> lock(mu_);
  done_cv_.wait(lock, [&] { return batch->done == batch->n; });
}

size_t WorkThreads::AddJob(uint64_t memory, std::function<void()> run) {
  std::lock_guard<std::mutex> lock(mu_);
  Job job;
  job.memory = memory;
  job.run = std::move(run);
  jobs_.push_back(std::move(job));
  StartJobs();
  return jobs_.size() - 1;
}

void WorkThreads::StartJobs() {
  bool started = false;
  while (next_job_ < jobs_.size()) {
    Job& job = jobs_[next_job_];
    if (in_use_ != 0 && (job.memory > budget_ || in_use_ > budget_ - job.memory)) break;
    in_use_ += job.memory;
    job.started = true;
    const size_t index = next_job_++;
    tasks_.push_back([this, index] {
      std::function<void()> run;
      {
        std::lock_guard<std::mutex> lock(mu_);
        run = std::move(jobs_[index].run);
      }
      run();
      std::lock_guard<std::mutex> lock(mu_);
      jobs_[index].done = true;
      done_cv_.notify_all();
    });
    started = true;
  }
  if (started) work_cv_.notify_all();
}

void WorkThreads::WaitJob(size_t index, const std::function<void()>& tick, unsigned tick_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!jobs_[index].done) {
    done_cv_.wait_for(lock, std::chrono::milliseconds(tick_ms));
    if (jobs_[index].done || !tick) continue;
    lock.unlock();
    tick();
    lock.lock();
  }
}

void WorkThreads::ReleaseJob(size_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  Job& job = jobs_[index];
  if (job.released || !job.started) return;
  job.released = true;
  in_use_ -= job.memory;
  StartJobs();
}

void WorkThreads::SetBudget(uint64_t budget) {
  std::lock_guard<std::mutex> lock(mu_);
  budget_ = budget;
  StartJobs();
}

unsigned DefaultWorkThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

}  // namespace upkeep
