/*
 * Raw I/O floors for the benchmark: what one write or one uncached read of
 * a record costs when it is nothing but its system calls.
 *
 *   floor write DIR COUNT KEY_LEN VAL_LEN
 *       COUNT records, each two pwrite calls (KEY_LEN bytes appended to
 *       DIR/floor_keys.bin, VAL_LEN bytes appended to DIR/floor_vals.bin).
 *   floor read DIR COUNT KEY_LEN VAL_LEN RECORDS
 *       COUNT reads, each two pread calls of one of the RECORDS records
 *       written above, picked at random.
 *
 * Prints one JSON object: {"ops": ..., "seconds": ..., "ops_per_s": ...,
 * "mb_per_s": ...} where MB/s counts the value bytes only.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static uint64_t NextRandom(uint64_t* state) {
  /* xorshift64*: cheap, so the floor measures the system calls. */
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 2685821657736338717ULL;
}

static void Die(const char* what) {
  fprintf(stderr, "floor: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void WriteAll(int fd, const char* buf, size_t len, off_t off) {
  while (len > 0) {
    ssize_t n = pwrite(fd, buf, len, off);
    if (n < 0) {
      if (errno == EINTR) continue;
      Die("pwrite");
    }
    buf += n;
    len -= (size_t)n;
    off += n;
  }
}

static void ReadAll(int fd, char* buf, size_t len, off_t off) {
  while (len > 0) {
    ssize_t n = pread(fd, buf, len, off);
    if (n < 0) {
      if (errno == EINTR) continue;
      Die("pread");
    }
    if (n == 0) {
      fprintf(stderr, "floor: short file\n");
      exit(1);
    }
    buf += n;
    len -= (size_t)n;
    off += n;
  }
}

static int OpenIn(const char* dir, const char* name, int flags) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, flags, 0644);
  if (fd < 0) Die(path);
  return fd;
}

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr,
            "usage: floor write DIR COUNT KEY_LEN VAL_LEN\n"
            "       floor read DIR COUNT KEY_LEN VAL_LEN RECORDS\n");
    return 2;
  }
  const char* mode = argv[1];
  const char* dir = argv[2];
  uint64_t count = strtoull(argv[3], NULL, 10);
  size_t key_len = strtoull(argv[4], NULL, 10);
  size_t val_len = strtoull(argv[5], NULL, 10);
  char* key = malloc(key_len + 1);
  char* val = malloc(val_len + 1);
  if (key == NULL || val == NULL) Die("malloc");
  memset(key, 'k', key_len);
  uint64_t seed = 0x9E3779B97F4A7C15ULL;
  for (size_t i = 0; i < val_len; ++i) val[i] = (char)NextRandom(&seed);

  double start = 0, seconds = 0;
  int keys_fd, vals_fd;
  if (strcmp(mode, "write") == 0) {
    keys_fd = OpenIn(dir, "floor_keys.bin", O_WRONLY | O_CREAT | O_TRUNC);
    vals_fd = OpenIn(dir, "floor_vals.bin", O_WRONLY | O_CREAT | O_TRUNC);
    off_t keys_end = 0, vals_end = 0;
    start = Now();
    for (uint64_t i = 0; i < count; ++i) {
      memcpy(key, &i, sizeof i < key_len ? sizeof i : key_len);
      WriteAll(keys_fd, key, key_len, keys_end);
      WriteAll(vals_fd, val, val_len, vals_end);
      keys_end += (off_t)key_len;
      vals_end += (off_t)val_len;
    }
    seconds = Now() - start;
  } else if (strcmp(mode, "read") == 0 && argc >= 7) {
    uint64_t records = strtoull(argv[6], NULL, 10);
    if (records == 0) records = 1;
    keys_fd = OpenIn(dir, "floor_keys.bin", O_RDONLY);
    vals_fd = OpenIn(dir, "floor_vals.bin", O_RDONLY);
    uint64_t state = 0x2545F4914F6CDD1DULL;
    uint64_t checksum = 0;
    start = Now();
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t r = NextRandom(&state) % records;
      ReadAll(keys_fd, key, key_len, (off_t)(r * key_len));
      ReadAll(vals_fd, val, val_len, (off_t)(r * val_len));
      checksum += (unsigned char)key[0] + (unsigned char)val[val_len - 1];
    }
    seconds = Now() - start;
    if (checksum == 1) fprintf(stderr, "unlikely\n"); /* keeps the reads */
  } else {
    fprintf(stderr, "floor: unknown mode %s\n", mode);
    return 2;
  }
  close(keys_fd);
  close(vals_fd);
  free(key);
  free(val);
  if (seconds <= 0) seconds = 1e-9;
  printf(
      "{\"ops\": %llu, \"seconds\": %.6f, \"ops_per_s\": %.1f, "
      "\"mb_per_s\": %.1f}\n",
      (unsigned long long)count, seconds, (double)count / seconds,
      (double)count * (double)val_len / seconds / 1e6);
  return 0;
}
