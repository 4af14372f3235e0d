// Work split into fixed chunks over the worker threads, with the set-up's
// checkpoint asked between rounds.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>

#include "linalg/worker_pool.hpp"

namespace minque {

// Columns (or rows) handed to one worker at a time: fixed, so that no
// product's blocking, and so no sum's order, depends on the thread count.
constexpr int kChunk = 256;

// The set-up's checkpoint while a projection is set up on this thread: asked
// between rounds of chunks, when no worker is running, so that it may throw
// to stop the work (a cancelled run).
inline thread_local const std::function<void()>* setUpCheckpoint = nullptr;

// Set on a thread whose work is already one of many spread over the workers
// (a bootstrap sample's equations): its chunks run on it, in order, with the
// same results as on the workers (each chunk writes its own outputs).
inline thread_local bool chunksHere = false;

class ChunksHere {
public:
    ChunksHere() : previous_(chunksHere) { chunksHere = true; }
    ~ChunksHere() { chunksHere = previous_; }
    ChunksHere(const ChunksHere&) = delete;
    ChunksHere& operator=(const ChunksHere&) = delete;

private:
    bool previous_;
};

// Runs body(chunk, first, last) over the chunks of 0..count on the worker
// threads; each chunk's share goes to its own slot, which the caller adds in
// order. Under a checkpoint the chunks go in rounds of one per worker, with
// the checkpoint asked after each (which worker takes a chunk changes
// nothing).
template <class Body>
void overChunks(int count, Body body) {
    const int chunks = (count + kChunk - 1) / kChunk;
    if (chunksHere) {
        for (int chunk = 0; chunk < chunks; ++chunk) body(chunk, chunk * kChunk, std::min(count, (chunk + 1) * kChunk));
        return;
    }
    const int round = setUpCheckpoint != nullptr ? workerThreads() : std::max(chunks, 1);
    for (int begin = 0; begin < chunks; begin += round) {
        const int end = std::min(chunks, begin + round);
        runOnWorkers([&](int worker) {
            int first = 0, last = 0;
            splitRange(end - begin, worker, workerThreads(), &first, &last);
            for (int chunk = begin + first; chunk < begin + last; ++chunk)
                body(chunk, chunk * kChunk, std::min(count, (chunk + 1) * kChunk));
        });
        if (setUpCheckpoint != nullptr) (*setUpCheckpoint)();
    }
}

// Runs body(task) for task = 0 .. count - 1, each on whichever worker is free
// next (tasks of unequal size: blocks of a triangle). Every task writes its
// own outputs, so which worker takes it changes nothing. Under a checkpoint
// the tasks go in rounds of a few per worker, with the checkpoint between.
template <class Body>
void overTasks(int count, Body body) {
    if (chunksHere) {
        for (int task = 0; task < count; ++task) body(task);
        return;
    }
    const int round = setUpCheckpoint != nullptr ? 4 * workerThreads() : std::max(count, 1);
    for (int begin = 0; begin < count; begin += round) {
        const int end = std::min(count, begin + round);
        std::atomic<int> next{begin};
        runOnWorkers([&](int) {
            for (int task = next++; task < end; task = next++) body(task);
        });
        if (setUpCheckpoint != nullptr) (*setUpCheckpoint)();
    }
}

// Sets the checkpoint of the set-up for the life of the object.
class CheckpointScope {
public:
    explicit CheckpointScope(const std::function<void()>& checkpoint)
        : previous_(setUpCheckpoint) {
        setUpCheckpoint = checkpoint ? &checkpoint : nullptr;
    }
    ~CheckpointScope() { setUpCheckpoint = previous_; }
    CheckpointScope(const CheckpointScope&) = delete;
    CheckpointScope& operator=(const CheckpointScope&) = delete;

private:
    const std::function<void()>* previous_;
};

}  // namespace minque
