/* The plain readers of bench_c_order.cpp, compiled as read_bound.c is
 * (cc -O3 -march=native) so that the folding of a line (two 32-byte vector
 * XORs) and the loop cost far less than the line's transfer.
 *
 * read_rows(arrays, count, paths, row_bytes, n, prefetch): reads `count`
 * C-ordered arrays of `paths` rows of `row_bytes` bytes (a whole number of
 * 64-byte lines) the way a group of n paths does: n rows at a time, and for
 * each line of a row that line of each of the n rows of each array in turn.
 * n = 1 is a sequential read of the arrays in lockstep. With `prefetch` set,
 * each line 8 KiB ahead of the one read is prefetched (as read_bound.c's read
 * bound does; only meaningful for n = 1). Returns the lines folded with XOR.
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef uint64_t Words __attribute__((vector_size(32)));

uint64_t read_rows(const unsigned char* const* arrays, size_t count, size_t paths, size_t row_bytes,
                   size_t n, int prefetch) {
  Words lo = {0, 0, 0, 0}, hi = {0, 0, 0, 0};
  for (size_t first = 0; first < paths; first += n) {
    const size_t rows = paths - first < n ? paths - first : n;
    for (size_t at = 0; at < row_bytes; at += 64)
      for (size_t a = 0; a < count; ++a) {
        const unsigned char* p = arrays[a] + first * row_bytes + at;
        for (size_t i = 0; i < rows; ++i, p += row_bytes) {
          if (prefetch) __builtin_prefetch(p + 8192, 0, 3);
          Words x, y;
          memcpy(&x, p, sizeof x);
          memcpy(&y, p + sizeof x, sizeof y);
          lo ^= x;
          hi ^= y;
        }
      }
  }
  const Words all = lo ^ hi;
  return all[0] ^ all[1] ^ all[2] ^ all[3];
}
