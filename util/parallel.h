#pragma once
// One pool of worker threads for the whole program, started on first use and kept: the
// frame's phases, post-processing and loading share it instead of starting threads of
// their own each time.

#include <functional>

// Calls work(i) once for every i in [0, count), spread over up to `threads` threads (the
// calling thread among them; 0 or more than the machine runs at once: all of them), each
// taking the next i in order when it finishes one, and returns when every call has
// returned. work must not throw. Threads the system refused to start are simply not
// there: the others, the caller at least, do their share. A call from inside work (a
// nested loop) runs at once, on its caller and on the threads of the pool that are idle
// or that wait for the rest of their own call (so a loop inside one of a few long tasks
// gets the threads that finished the others); a call from another thread while a call
// runs waits its turn. The result is the same either way. Any thread.
void vyxParallelFor(int count, int threads, const std::function<void(int)>& work);

// Threads of the pool besides the caller (0 when the system starts none). Starts the pool.
int vyxParallelHelpers();

// A limit on the threads of the program's parallel loops, which pass vyxWorkerCores() to
// vyxParallelFor (the blocks of a frame's phases, the rows of post-processing and of the
// running mean, the hierarchy builds): 0 (the default) = as many as the machine runs at once. For measurements;
// set it while no such loop runs.
void vyxSetWorkerThreadLimit(int threads);

// The number of threads that limit allows now (at least 1). Starts the pool. Any thread.
int vyxWorkerCores();
