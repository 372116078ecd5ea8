/* The read bound of the benchmark: how fast this machine reads a case's input
 * arrays, in lockstep and with nothing else to do. benchmarks/bench.py compiles
 * it with the system C compiler (cc -O3 -march=native -shared -pthread) and
 * calls it through ctypes; it is not part of the package.
 *
 * read_arrays(arrays, count, bytes, threads, repeats, prefetch): reads `bytes`
 * bytes from each of the `count` arrays, whole 64-byte lines, array by array
 * within each line (the way a kernel that takes one element of each array per
 * step reads them), `repeats` times over (so that a small read is not timed
 * together with the call and the thread start). With `threads` > 1 the range is
 * cut into that many contiguous parts, one per thread, as the parallel form
 * cuts its paths. With `prefetch` set, each array is also prefetched 8 KiB
 * ahead of the line being read, as the package's streaming loops do; on some
 * machines the hardware prefetchers alone leave a plain reader well below what
 * memory delivers. The lines are folded with XOR into a result that is
 * returned, so no read can be optimised away, and the folding (two 32-byte
 * vector XORs a line) is cheap enough that memory is the only bound.
 */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define LINE 64
#define AHEAD 8192
#define MAX_THREADS 64

typedef uint64_t Words __attribute__((vector_size(32)));

typedef struct {
  const unsigned char* const* arrays;
  size_t count;
  size_t begin, end; /* byte range of every array */
  int repeats, prefetch;
  uint64_t result;
} Part;

static void* read_part(void* arg) {
  Part* part = (Part*)arg;
  Words lo = {0, 0, 0, 0}, hi = {0, 0, 0, 0};
  for (int r = 0; r < part->repeats; ++r) {
    for (size_t at = part->begin; at + LINE <= part->end; at += LINE) {
      for (size_t a = 0; a < part->count; ++a) {
        const unsigned char* p = part->arrays[a] + at;
        if (part->prefetch) __builtin_prefetch((const void*)((uintptr_t)p + AHEAD), 0, 3);
        Words x, y;
        memcpy(&x, p, sizeof x);
        memcpy(&y, p + sizeof x, sizeof y);
        lo ^= x;
        hi ^= y;
      }
    }
  }
  const Words all = lo ^ hi;
  part->result = all[0] ^ all[1] ^ all[2] ^ all[3];
  return NULL;
}

uint64_t read_arrays(const unsigned char* const* arrays, size_t count, size_t bytes, int threads,
                     int repeats, int prefetch) {
  if (threads < 1) threads = 1;
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  Part parts[MAX_THREADS];
  pthread_t ids[MAX_THREADS];
  const size_t lines = bytes / LINE;
  for (int t = 0; t < threads; ++t) {
    parts[t].arrays = arrays;
    parts[t].count = count;
    parts[t].begin = lines * (size_t)t / (size_t)threads * LINE;
    parts[t].end = lines * (size_t)(t + 1) / (size_t)threads * LINE;
    parts[t].repeats = repeats;
    parts[t].prefetch = prefetch;
    parts[t].result = 0;
  }
  int started = 1;
  for (; started < threads; ++started)
    if (pthread_create(&ids[started], NULL, read_part, &parts[started]) != 0) break;
  read_part(&parts[0]);
  uint64_t r = parts[0].result;
  for (int t = 1; t < started; ++t) {
    pthread_join(ids[t], NULL);
    r ^= parts[t].result;
  }
  /* A thread that could not start: its part is read here. */
  for (int t = started; t < threads; ++t) {
    read_part(&parts[t]);
    r ^= parts[t].result;
  }
  return r;
}
