/* The read bound of the benchmark: how fast this machine reads the memory a
 * case's kernel reads, in lockstep and with nothing else to do.
 * benchmarks/bench.py compiles it with the system C compiler (cc -O3
 * -march=native -shared -pthread) and calls it through ctypes; it is not part
 * of the package.
 *
 * read_blocks(shares, count, threads, repeats, prefetch): reads the 64-byte
 * lines of `count` blocks of memory. A block is rows of `row_bytes` bytes,
 * `stride` bytes apart, from `base` (a whole array is one row; the first half of
 * every row of a C-order matrix, or one of its columns, is a block of many
 * rows). Every line a block touches is read once, whole (a line that two rows
 * share is read once). The blocks are cut into `threads` contiguous shares of
 * rows, as the parallel form cuts its paths; the caller gives each thread's
 * share of each block (its first row and how many lines it holds), so that no
 * counting is timed. A thread reads its shares in lockstep, each in proportion
 * to its lines (a block half as long advances one line for every two of the
 * longest), line by line and block by block within a tick, the way a kernel
 * that takes one element of each array per step reads them, `repeats` times
 * over (so that a small read is not timed together with the call and the
 * thread start). With `prefetch` set, each block is also prefetched 8 KiB ahead
 * of the line being read, as the package's streaming loops do; on some
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
#define MAX_BLOCKS 32

typedef uint64_t Words __attribute__((vector_size(32)));

/* One thread's share of one block: rows from `first_row` on, `lines` lines of them. */
typedef struct {
  uintptr_t base;
  size_t row_bytes, stride, first_row, lines;
} Share;

static uintptr_t row_first(const Share* s, size_t r) {
  return (s->base + r * s->stride) & ~(uintptr_t)(LINE - 1);
}
static uintptr_t row_end(const Share* s, size_t r) {
  return (s->base + r * s->stride + s->row_bytes + LINE - 1) & ~(uintptr_t)(LINE - 1);
}

/* A share's position: the row being read, its next line and end, and the
 * lockstep credit (lines owed, scaled by the longest share). */
typedef struct {
  const Share* share;
  size_t row, credit;
  uintptr_t at, end;
} Cursor;

static inline uintptr_t cursor_next(Cursor* c) {
  if (c->at >= c->end) {
    const uintptr_t after = c->end;
    do {  /* the next row, less a line the previous one already ended in */
      ++c->row;
      const uintptr_t first = row_first(c->share, c->row);
      c->at = first < after ? after : first;
      c->end = row_end(c->share, c->row);
    } while (c->at >= c->end);
  }
  const uintptr_t p = c->at;
  c->at += LINE;
  return p;
}

typedef struct {
  const Share* shares; /* this thread's, one a block */
  size_t count;
  int repeats, prefetch;
  uint64_t result;
} Part;

static void* read_part(void* arg) {
  Part* part = (Part*)arg;
  Words lo = {0, 0, 0, 0}, hi = {0, 0, 0, 0};
  size_t longest = 0;
  Cursor start[MAX_BLOCKS], cur[MAX_BLOCKS];
  for (size_t a = 0; a < part->count; ++a) {
    const Share* s = &part->shares[a];
    start[a].share = s;
    start[a].row = s->first_row;
    start[a].credit = 0;
    start[a].at = row_first(s, s->first_row);
    start[a].end = row_end(s, s->first_row);
    if (s->lines > longest) longest = s->lines;
  }
  int even = 1; /* every share as long as the longest: one line of each a tick */
  for (size_t a = 0; a < part->count; ++a) even &= part->shares[a].lines == longest;
#define READ_LINE(c)                                                                  \
  do {                                                                                \
    const unsigned char* p = (const unsigned char*)cursor_next(c);                    \
    if (part->prefetch) __builtin_prefetch((const void*)((uintptr_t)p + AHEAD), 0, 3); \
    Words x, y;                                                                       \
    memcpy(&x, p, sizeof x);                                                          \
    memcpy(&y, p + sizeof x, sizeof y);                                               \
    lo ^= x;                                                                          \
    hi ^= y;                                                                          \
  } while (0)
  for (int r = 0; r < part->repeats; ++r) {
    memcpy(cur, start, sizeof(Cursor) * part->count);
    if (even) {
      for (size_t tick = 0; tick < longest; ++tick)
        for (size_t a = 0; a < part->count; ++a) READ_LINE(&cur[a]);
      continue;
    }
    for (size_t tick = 0; tick < longest; ++tick) {
      for (size_t a = 0; a < part->count; ++a) {
        Cursor* c = &cur[a];
        /* Block a reads lines / longest lines a tick, on average. */
        for (c->credit += c->share->lines; c->credit >= longest; c->credit -= longest) READ_LINE(c);
      }
    }
  }
#undef READ_LINE
  const Words all = lo ^ hi;
  part->result = all[0] ^ all[1] ^ all[2] ^ all[3];
  return NULL;
}

/* shares: `threads` rows of `count` shares, thread t's shares of every block in row t. */
uint64_t read_blocks(const Share* shares, size_t count, int threads, int repeats, int prefetch) {
  if (count > MAX_BLOCKS) return 0;
  if (threads < 1 || threads > MAX_THREADS) return 0;
  Part parts[MAX_THREADS];
  pthread_t ids[MAX_THREADS];
  for (int t = 0; t < threads; ++t) {
    parts[t].shares = shares + (size_t)t * count;
    parts[t].count = count;
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
