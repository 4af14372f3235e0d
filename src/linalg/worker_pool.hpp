// A small pool of worker threads for work split across independent outputs
// (rows of a rank-one update, records, per-trait vectors). Every output is
// computed by exactly one thread with the same arithmetic as in a serial run,
// so the results do not depend on the number of threads.
//
// The pool is process-wide: by default one thread per hardware thread; tests
// set the count to compare runs. Workers spin briefly and then sleep between
// tasks, so dispatching a task costs microseconds.
#pragma once

#include <functional>

namespace minque {

void setWorkerThreads(int threads);  // 0: one per hardware thread; takes effect for later tasks
// The threads of the pool: those asked for, or fewer when the system
// refused to start more (a process or memory limit).
int workerThreads();
int hardwareThreads();  // the machine's hardware threads, at least 1

// Runs body(worker) for worker = 0 .. workerThreads() - 1, worker 0 on the
// calling thread, and returns when all have finished.
void runOnWorkers(const std::function<void(int)>& body);

// Inside a task of runOnWorkers: waits until every worker has reached this
// point (a spinning barrier; a task must call it the same number of times on
// every worker).
void workerBarrier();

// The contiguous part [*begin, *end) of 0..count that worker `worker` of
// `workers` takes.
void splitRange(int count, int worker, int workers, int* begin, int* end);
// Split of the rows of a lower triangle of order n (row i has i + 1 elements).
void splitTriangle(int n, int worker, int workers, int* begin, int* end);

}  // namespace minque
