/*
 * libfaultinject.so: makes one chosen file-system call of a process fail,
 * for testing how the store copes with I/O errors. Load it with LD_PRELOAD.
 *
 * Only calls on files inside one directory count ("matching calls"): the
 * opens of paths under FAULT_DIR, calls on descriptors those opens returned
 * (descriptors are forgotten again on close), renames with either path
 * under it, and msync of mappings of such descriptors. The directory itself
 * counts too (its descriptor is opened for locking and syncing). Descriptors
 * duplicated with dup/fcntl are not followed; the store does not duplicate.
 *
 * Environment (read once, at the first intercepted call):
 *   FAULT_DIR     the directory; nothing matches when unset.
 *   FAULT_NTH     the matching call that fails, counting from 1; 0 (the
 *                 default) only counts.
 *   FAULT_ERRNO   ENOSPC, EIO, EACCES (or a number): the call fails with it,
 *                 without reaching the system.
 *                 SHORT: read/write/pread/pwrite move only half of the
 *                 requested bytes (at least one).
 *                 SHORT_EIO: as SHORT, and the next matching call fails
 *                 with EIO (a write-out that stops half way).
 *   FAULT_OPS     comma list of open, write, pwrite, read, pread, fsync,
 *                 fdatasync, rename, ftruncate, mmap, msync; default all
 *                 (for the SHORT modes: the four transfer calls).
 *   FAULT_STICKY  1: every matching call from the N-th on fails (a disk
 *                 that stays full), not only the N-th.
 *   FAULT_ARM_FILE  when set, calls match only while this file exists.
 *   FAULT_REPORT  "-" (standard error) or a file to append to: at exit,
 *                 one line with the number of matching calls and faults.
 *
 * A program can also steer it directly (Python: ctypes.CDLL(None)):
 *   faultinject_arm(int on)      arm or disarm; overrides FAULT_ARM_FILE
 *   faultinject_reset()          counters back to zero
 *   faultinject_calls()          matching calls counted while armed
 *   faultinject_fired()          faults injected so far
 *   faultinject_first_fault()    "<call> <path>" of the first fault, or ""
 *   faultinject_last_fault()     the same for the latest fault
 *
 * Build: cc -shared -fPIC -O2 -o libfaultinject.so faultinject.c -ldl
 */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum op {
  OP_OPEN,
  OP_WRITE,
  OP_PWRITE,
  OP_READ,
  OP_PREAD,
  OP_FSYNC,
  OP_FDATASYNC,
  OP_RENAME,
  OP_FTRUNCATE,
  OP_MMAP,
  OP_MSYNC,
  OP_COUNT
};

static const char* const kOpNames[OP_COUNT] = {
    "open",   "write",     "pwrite", "read",      "pread", "fsync",
    "fdatasync", "rename", "ftruncate", "mmap",   "msync"};

#define TRANSFER_OPS \
  ((1u << OP_WRITE) | (1u << OP_PWRITE) | (1u << OP_READ) | (1u << OP_PREAD))

enum mode { MODE_ERRNO, MODE_SHORT, MODE_SHORT_EIO };

/* ---------------------------------------------------------------- config */

static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

static char g_dir[PATH_MAX];      /* FAULT_DIR as given, without trailing / */
static char g_dir_real[PATH_MAX]; /* its realpath, when it resolves */
static long g_nth;
static int g_errno = EIO;
static enum mode g_mode = MODE_ERRNO;
static unsigned g_ops = (1u << OP_COUNT) - 1;
static int g_sticky;
static char g_arm_file[PATH_MAX];
static char g_report[PATH_MAX];
static int g_armed_override = -1; /* -1: follow FAULT_ARM_FILE */

static long g_calls;
static long g_fired;
static char g_first_fault[PATH_MAX + 32];
static char g_last_fault[PATH_MAX + 32];

/* Descriptors opened under the directory, with their paths. */
#define MAX_FDS 65536
static char* g_fd_paths[MAX_FDS];

/* Mappings of tracked descriptors, for msync. */
#define MAX_MAPS 64
static struct {
  uintptr_t start, end;
  char* path;
} g_maps[MAX_MAPS];

/* Set while this library makes its own calls, which never count. */
static __thread int t_inside;

static void strip_slashes(char* p) {
  size_t n = strlen(p);
  while (n > 1 && p[n - 1] == '/') p[--n] = '\0';
}

static void copy_env(const char* name, char* out, size_t size) {
  const char* v = getenv(name);
  if (v != NULL) snprintf(out, size, "%s", v);
}

static void load_config(void) {
  t_inside++;
  copy_env("FAULT_DIR", g_dir, sizeof g_dir);
  strip_slashes(g_dir);
  if (g_dir[0] != '\0' && realpath(g_dir, g_dir_real) == NULL) g_dir_real[0] = 0;
  const char* nth = getenv("FAULT_NTH");
  g_nth = nth != NULL ? strtol(nth, NULL, 10) : 0;
  const char* err = getenv("FAULT_ERRNO");
  if (err != NULL) {
    if (strcmp(err, "ENOSPC") == 0) g_errno = ENOSPC;
    else if (strcmp(err, "EIO") == 0) g_errno = EIO;
    else if (strcmp(err, "EACCES") == 0) g_errno = EACCES;
    else if (strcmp(err, "SHORT") == 0) g_mode = MODE_SHORT;
    else if (strcmp(err, "SHORT_EIO") == 0) g_mode = MODE_SHORT_EIO;
    else g_errno = (int)strtol(err, NULL, 10);
  }
  const char* ops = getenv("FAULT_OPS");
  if (ops != NULL && ops[0] != '\0') {
    g_ops = 0;
    char buf[256];
    snprintf(buf, sizeof buf, "%s", ops);
    char* save = NULL;
    for (char* tok = strtok_r(buf, ",", &save); tok != NULL;
         tok = strtok_r(NULL, ",", &save)) {
      for (int i = 0; i < OP_COUNT; i++) {
        if (strcmp(tok, kOpNames[i]) == 0) g_ops |= 1u << i;
      }
    }
  }
  if (g_mode != MODE_ERRNO) g_ops &= TRANSFER_OPS;
  const char* sticky = getenv("FAULT_STICKY");
  g_sticky = sticky != NULL && strcmp(sticky, "1") == 0;
  copy_env("FAULT_ARM_FILE", g_arm_file, sizeof g_arm_file);
  copy_env("FAULT_REPORT", g_report, sizeof g_report);
  t_inside--;
}

static void init(void) { pthread_once(&g_once, load_config); }

/* ------------------------------------------------------------- real calls */

#define REAL(name, ret, ...)                                       \
  static ret (*real_##name)(__VA_ARGS__);                          \
  static void resolve_##name(void) {                               \
    if (real_##name == NULL) {                                     \
      real_##name = (ret(*)(__VA_ARGS__))dlsym(RTLD_NEXT, #name);  \
    }                                                              \
  }

REAL(openat, int, int, const char*, int, ...)
REAL(openat64, int, int, const char*, int, ...)
REAL(close, int, int)
REAL(write, ssize_t, int, const void*, size_t)
REAL(pwrite, ssize_t, int, const void*, size_t, off_t)
REAL(pwrite64, ssize_t, int, const void*, size_t, off64_t)
REAL(read, ssize_t, int, void*, size_t)
REAL(pread, ssize_t, int, void*, size_t, off_t)
REAL(pread64, ssize_t, int, void*, size_t, off64_t)
REAL(fsync, int, int)
REAL(fdatasync, int, int)
REAL(rename, int, const char*, const char*)
REAL(ftruncate, int, int, off_t)
REAL(ftruncate64, int, int, off64_t)
REAL(mmap, void*, void*, size_t, int, int, int, off_t)
REAL(mmap64, void*, void*, size_t, int, int, int, off64_t)
REAL(msync, int, void*, size_t, int)
REAL(munmap, int, void*, size_t)

/* --------------------------------------------------------------- matching */

static int is_armed(void) {
  if (g_armed_override >= 0) return g_armed_override;
  if (g_arm_file[0] == '\0') return 1;
  t_inside++;
  int exists = access(g_arm_file, F_OK) == 0;
  t_inside--;
  return exists;
}

static int under(const char* path, const char* dir) {
  size_t n = strlen(dir);
  if (n == 0 || strncmp(path, dir, n) != 0) return 0;
  return path[n] == '\0' || path[n] == '/' || (n == 1 && dir[0] == '/');
}

/* Writes the absolute form of `path` (relative to `dirfd`) into `out`. */
static void absolute(int dirfd, const char* path, char* out, size_t size) {
  if (path[0] == '/') {
    snprintf(out, size, "%s", path);
    return;
  }
  char base[PATH_MAX] = "";
  t_inside++;
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) base[0] = '\0';
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, base, sizeof base - 1);
    base[n > 0 ? n : 0] = '\0';
  }
  t_inside--;
  snprintf(out, size, "%s/%s", base, path);
}

static int path_matches(int dirfd, const char* path, char* abs, size_t size) {
  if (g_dir[0] == '\0' || path == NULL) return 0;
  absolute(dirfd, path, abs, size);
  return under(abs, g_dir) || (g_dir_real[0] != '\0' && under(abs, g_dir_real));
}

static const char* fd_path(int fd) {
  if (fd < 0 || fd >= MAX_FDS) return NULL;
  return g_fd_paths[fd];
}

static void track_fd(int fd, const char* path) {
  if (fd < 0 || fd >= MAX_FDS) return;
  t_inside++;
  char* copy = strdup(path);
  t_inside--;
  pthread_mutex_lock(&g_mu);
  free(g_fd_paths[fd]);
  g_fd_paths[fd] = copy;
  pthread_mutex_unlock(&g_mu);
}

static void untrack_fd(int fd) {
  if (fd < 0 || fd >= MAX_FDS) return;
  pthread_mutex_lock(&g_mu);
  free(g_fd_paths[fd]);
  g_fd_paths[fd] = NULL;
  pthread_mutex_unlock(&g_mu);
}

static void track_map(void* addr, size_t len, const char* path) {
  pthread_mutex_lock(&g_mu);
  for (int i = 0; i < MAX_MAPS; i++) {
    if (g_maps[i].path == NULL) {
      g_maps[i].start = (uintptr_t)addr;
      g_maps[i].end = (uintptr_t)addr + len;
      g_maps[i].path = strdup(path);
      break;
    }
  }
  pthread_mutex_unlock(&g_mu);
}

static void untrack_map(void* addr, size_t len) {
  uintptr_t start = (uintptr_t)addr, end = start + len;
  pthread_mutex_lock(&g_mu);
  for (int i = 0; i < MAX_MAPS; i++) {
    if (g_maps[i].path != NULL && g_maps[i].start >= start &&
        g_maps[i].end <= end) {
      free(g_maps[i].path);
      g_maps[i].path = NULL;
    }
  }
  pthread_mutex_unlock(&g_mu);
}

static const char* map_path(void* addr) {
  uintptr_t a = (uintptr_t)addr;
  for (int i = 0; i < MAX_MAPS; i++) {
    if (g_maps[i].path != NULL && a >= g_maps[i].start && a < g_maps[i].end) {
      return g_maps[i].path;
    }
  }
  return NULL;
}

enum verdict { PASS, FAIL, SHORTEN };

/* Counts a call of `op` on `path` (NULL: not under the directory) and says
 * what to do with it. */
static enum verdict decide(enum op op, const char* path) {
  if (t_inside || path == NULL || !(g_ops & (1u << op)) || !is_armed()) {
    return PASS;
  }
  pthread_mutex_lock(&g_mu);
  long n = ++g_calls;
  enum verdict v = PASS;
  if (g_nth > 0) {
    int hit = n == g_nth || (g_sticky && n > g_nth);
    if (g_mode == MODE_ERRNO && hit) v = FAIL;
    if (g_mode != MODE_ERRNO && hit) v = SHORTEN;
    if (g_mode == MODE_SHORT_EIO && n == g_nth + 1) v = FAIL;
  }
  if (v != PASS) {
    snprintf(g_last_fault, sizeof g_last_fault, "%s %s", kOpNames[op], path);
    if (g_fired++ == 0) memcpy(g_first_fault, g_last_fault, sizeof g_last_fault);
  }
  pthread_mutex_unlock(&g_mu);
  return v;
}

static int fail_errno(void) {
  return g_mode == MODE_ERRNO ? g_errno : EIO;
}

static size_t shortened(size_t n) { return n > 1 ? n / 2 : n; }

/* ------------------------------------------------------------ public API */

EXPORT void faultinject_arm(int on) {
  init();
  g_armed_override = on ? 1 : 0;
}

EXPORT void faultinject_reset(void) {
  init();
  pthread_mutex_lock(&g_mu);
  g_calls = 0;
  g_fired = 0;
  g_first_fault[0] = '\0';
  g_last_fault[0] = '\0';
  pthread_mutex_unlock(&g_mu);
}

EXPORT long faultinject_calls(void) { return g_calls; }
EXPORT long faultinject_fired(void) { return g_fired; }
EXPORT const char* faultinject_first_fault(void) { return g_first_fault; }
EXPORT const char* faultinject_last_fault(void) { return g_last_fault; }

__attribute__((destructor)) static void report(void) {
  if (g_report[0] == '\0') return;
  t_inside++;
  FILE* out = strcmp(g_report, "-") == 0 ? stderr : fopen(g_report, "a");
  if (out != NULL) {
    fprintf(out, "faultinject: %ld matching calls, %ld faults%s%s\n", g_calls,
            g_fired, g_fired ? ", first: " : "", g_first_fault);
    if (out != stderr) fclose(out);
  }
  t_inside--;
}

/* ---------------------------------------------------------------- opens */

static int needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & __O_TMPFILE) == __O_TMPFILE;
}

static int do_open(int (*real)(int, const char*, int, ...), int dirfd,
                   const char* path, int flags, mode_t mode) {
  init();
  char abs[PATH_MAX * 2];
  const char* match =
      !t_inside && path_matches(dirfd, path, abs, sizeof abs) ? abs : NULL;
  if (decide(OP_OPEN, match) == FAIL) {
    errno = fail_errno();
    return -1;
  }
  int fd = real(dirfd, path, flags, mode);
  if (match != NULL && fd >= 0) track_fd(fd, abs);
  return fd;
}

static int plain_openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = va_arg(ap, mode_t);
  va_end(ap);
  resolve_openat();
  return real_openat(dirfd, path, flags, mode);
}

static int plain_openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = va_arg(ap, mode_t);
  va_end(ap);
  resolve_openat64();
  return real_openat64(dirfd, path, flags, mode);
}

#define MODE_ARG(flags)                                    \
  mode_t mode = 0;                                         \
  if (needs_mode(flags)) {                                 \
    va_list ap;                                            \
    va_start(ap, flags);                                   \
    mode = va_arg(ap, mode_t);                             \
    va_end(ap);                                            \
  }

EXPORT int open(const char* path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(plain_openat, AT_FDCWD, path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(plain_openat64, AT_FDCWD, path, flags, mode);
}

EXPORT int __open_2(const char* path, int flags) {
  return do_open(plain_openat, AT_FDCWD, path, flags, 0);
}

EXPORT int __open64_2(const char* path, int flags) {
  return do_open(plain_openat64, AT_FDCWD, path, flags, 0);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(plain_openat, dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(plain_openat64, dirfd, path, flags, mode);
}

EXPORT int close(int fd) {
  resolve_close();
  if (fd_path(fd) != NULL) untrack_fd(fd);
  return real_close(fd);
}

/* ------------------------------------------------------------ transfers */

EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  init();
  resolve_write();
  switch (decide(OP_WRITE, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_write(fd, buf, shortened(n));
    default: return real_write(fd, buf, n);
  }
}

EXPORT ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  init();
  resolve_pwrite();
  switch (decide(OP_PWRITE, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_pwrite(fd, buf, shortened(n), off);
    default: return real_pwrite(fd, buf, n, off);
  }
}

EXPORT ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  init();
  resolve_pwrite64();
  switch (decide(OP_PWRITE, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_pwrite64(fd, buf, shortened(n), off);
    default: return real_pwrite64(fd, buf, n, off);
  }
}

EXPORT ssize_t read(int fd, void* buf, size_t n) {
  init();
  resolve_read();
  switch (decide(OP_READ, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_read(fd, buf, shortened(n));
    default: return real_read(fd, buf, n);
  }
}

EXPORT ssize_t pread(int fd, void* buf, size_t n, off_t off) {
  init();
  resolve_pread();
  switch (decide(OP_PREAD, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_pread(fd, buf, shortened(n), off);
    default: return real_pread(fd, buf, n, off);
  }
}

EXPORT ssize_t pread64(int fd, void* buf, size_t n, off64_t off) {
  init();
  resolve_pread64();
  switch (decide(OP_PREAD, fd_path(fd))) {
    case FAIL: errno = fail_errno(); return -1;
    case SHORTEN: return real_pread64(fd, buf, shortened(n), off);
    default: return real_pread64(fd, buf, n, off);
  }
}

/* Fortified reads (when the compiler knows the buffer's size). */
EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
  (void)buflen;
  return read(fd, buf, n);
}

EXPORT ssize_t __pread_chk(int fd, void* buf, size_t n, off_t off,
                           size_t buflen) {
  (void)buflen;
  return pread(fd, buf, n, off);
}

EXPORT ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t off,
                             size_t buflen) {
  (void)buflen;
  return pread64(fd, buf, n, off);
}

/* ------------------------------------------------- syncs, sizes, renames */

#define FD_CALL(op, name, call)         \
  init();                               \
  resolve_##name();                     \
  if (decide(op, fd_path(fd)) == FAIL) { \
    errno = fail_errno();               \
    return -1;                          \
  }                                     \
  return call;

EXPORT int fsync(int fd) { FD_CALL(OP_FSYNC, fsync, real_fsync(fd)); }

EXPORT int fdatasync(int fd) {
  FD_CALL(OP_FDATASYNC, fdatasync, real_fdatasync(fd));
}

EXPORT int ftruncate(int fd, off_t length) {
  FD_CALL(OP_FTRUNCATE, ftruncate, real_ftruncate(fd, length));
}

EXPORT int ftruncate64(int fd, off64_t length) {
  FD_CALL(OP_FTRUNCATE, ftruncate64, real_ftruncate64(fd, length));
}

EXPORT int rename(const char* from, const char* to) {
  init();
  resolve_rename();
  char abs[PATH_MAX * 2];
  const char* match = NULL;
  if (!t_inside && (path_matches(AT_FDCWD, from, abs, sizeof abs) ||
                    path_matches(AT_FDCWD, to, abs, sizeof abs))) {
    match = abs;
  }
  if (decide(OP_RENAME, match) == FAIL) {
    errno = fail_errno();
    return -1;
  }
  return real_rename(from, to);
}

/* -------------------------------------------------------------- mappings */

static void* do_mmap(void* (*real)(void*, size_t, int, int, int, off64_t),
                     void* addr, size_t len, int prot, int flags, int fd,
                     off64_t off) {
  const char* path = (flags & MAP_ANONYMOUS) ? NULL : fd_path(fd);
  if (decide(OP_MMAP, path) == FAIL) {
    errno = fail_errno();
    return MAP_FAILED;
  }
  void* p = real(addr, len, prot, flags, fd, off);
  if (p != MAP_FAILED && path != NULL) track_map(p, len, path);
  return p;
}

static void* via_mmap(void* addr, size_t len, int prot, int flags, int fd,
                      off64_t off) {
  return real_mmap(addr, len, prot, flags, fd, (off_t)off);
}

EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd,
                  off_t off) {
  init();
  resolve_mmap();
  return do_mmap(via_mmap, addr, len, prot, flags, fd, off);
}

EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd,
                    off64_t off) {
  init();
  resolve_mmap64();
  return do_mmap(real_mmap64, addr, len, prot, flags, fd, off);
}

EXPORT int msync(void* addr, size_t len, int flags) {
  init();
  resolve_msync();
  if (decide(OP_MSYNC, map_path(addr)) == FAIL) {
    errno = fail_errno();
    return -1;
  }
  return real_msync(addr, len, flags);
}

EXPORT int munmap(void* addr, size_t len) {
  resolve_munmap();
  if (map_path(addr) != NULL) untrack_map(addr, len);
  return real_munmap(addr, len);
}
