/* The read bound of the benchmark: how fast this machine reads a case's input
 * arrays, in lockstep and with nothing else to do. benchmarks/bench.py compiles
 * it with the system C compiler (cc -O3 -march=native -shared -pthread) and
 * calls it through ctypes; it is not part of the package.
 *
 * read_arrays(arrays, count, bytes, threads, repeats): reads `bytes` bytes from
 * each of the `count` arrays, whole 64-byte lines, array by array within each
 * line (the way a kernel that takes one element of each array per step reads
 * them), `repeats` times over (so that a small read is not timed together with
 * the call and the thread start). With `threads` > 1 the range is cut into that
 * many contiguous parts, one per thread, as the parallel form cuts its paths.
 * The lines are folded with XOR into a result that is returned, so no read can
 * be optimised away, and the folding is cheap enough (vector XOR) that memory is
 * the only bound.
 */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define LINE 64
#define MAX_THREADS 64

typedef struct {
  const unsigned char* const* arrays;
  size_t count;
  size_t begin, end; /* byte range of every array */
  int repeats;
  uint64_t result;
} Part;

static void* read_part(void* arg) {
  Part* part = (Part*)arg;
  uint64_t acc[LINE / 8] = {0};
  for (int r = 0; r < part->repeats; ++r) {
    for (size_t at = part->begin; at + LINE <= part->end; at += LINE) {
      for (size_t a = 0; a < part->count; ++a) {
        uint64_t line[LINE / 8];
        memcpy(line, part->arrays[a] + at, LINE);
        for (size_t w = 0; w < LINE / 8; ++w) acc[w] ^= line[w];
      }
    }
  }
  uint64_t r = 0;
  for (size_t w = 0; w < LINE / 8; ++w) r ^= acc[w];
  part->result = r;
  return NULL;
}

uint64_t read_arrays(const unsigned char* const* arrays, size_t count, size_t bytes, int threads,
                     int repeats) {
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
