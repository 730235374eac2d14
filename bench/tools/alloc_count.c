/* Preloaded into the helper to count heap calls in steady state, split between the thread that writes the
 * stream ("main": the first to write on the descriptor that got the 16-byte header, standard output or a
 * reopening of it) and every other thread.
 *
 * The window opens at that thread's SKIP-th successful write of the stream (start-up is over) and closes at
 * its last one (teardown allocations are not per-packet costs). At exit one JSON line goes to the file
 * named by BENCH_ALLOC_OUT. BENCH_ALLOC_SKIP sets SKIP (default 50). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

enum { ALLOC, FREE, WRITES, WRITE_BYTES, NCOUNTERS };

/* Main-thread counters are touched by that thread only; the others' by any thread, hence atomic. */
static uint64_t main_counts[NCOUNTERS];
static _Atomic uint64_t other_counts[NCOUNTERS];
static uint64_t snap_start[2][NCOUNTERS], snap_end[2][NCOUNTERS];
static int window_open;
static uint64_t skip_writes = 50;
static pid_t main_pid;
static _Atomic pid_t writer_tid;
static _Atomic int stream_fd = -1;
static __thread pid_t thread_id __attribute__((tls_model("initial-exec")));

static int is_main(void) {
    if (thread_id == 0) thread_id = (pid_t)syscall(SYS_gettid);
    return thread_id == atomic_load_explicit(&writer_tid, memory_order_relaxed);
}

static int is_stdout(int fd) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && fstat(1, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static void count(int what, uint64_t n) {
    if (main_pid == 0) return; /* before the constructor: the loader's own calls */
    if (is_main())
        main_counts[what] += n;
    else
        atomic_fetch_add_explicit(&other_counts[what], n, memory_order_relaxed);
}

static void snapshot(uint64_t into[2][NCOUNTERS]) {
    for (int i = 0; i < NCOUNTERS; ++i) {
        into[0][i] = main_counts[i];
        into[1][i] = atomic_load_explicit(&other_counts[i], memory_order_relaxed);
    }
}

__attribute__((constructor)) static void start(void) {
    const char* skip = getenv("BENCH_ALLOC_SKIP");
    if (skip != NULL) skip_writes = strtoull(skip, NULL, 10);
    main_pid = getpid();
}

__attribute__((destructor)) static void finish(void) {
    const char* path = getenv("BENCH_ALLOC_OUT");
    if (path == NULL) return;
    char text[1024];
    static const char* names[NCOUNTERS] = {"allocs", "frees", "writes", "write_bytes"};
    int len = snprintf(text, sizeof text, "{\"window\": %s", window_open ? "true" : "false");
    for (int t = 0; t < 2; ++t) {
        len += snprintf(text + len, sizeof text - (size_t)len, ", \"%s\": {", t == 0 ? "main" : "other");
        for (int i = 0; i < NCOUNTERS; ++i)
            len += snprintf(text + len, sizeof text - (size_t)len, "%s\"%s\": %llu", i ? ", " : "", names[i],
                            (unsigned long long)(snap_end[t][i] - snap_start[t][i]));
        len += snprintf(text + len, sizeof text - (size_t)len, "}");
    }
    len += snprintf(text + len, sizeof text - (size_t)len, "}\n");
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    if (write(fd, text, (size_t)len) < 0) { /* nothing more to do */ }
    close(fd);
}

void* malloc(size_t size) {
    count(ALLOC, 1);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    count(ALLOC, 1);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    count(ALLOC, 1);
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
    count(ALLOC, 1);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* p = memalign(alignment, size);
    if (p == NULL) return 12; /* ENOMEM */
    *out = p;
    return 0;
}
void free(void* p) {
    if (p == NULL) return;
    count(FREE, 1);
    __libc_free(p);
}

ssize_t write(int fd, const void* data, size_t size) {
    /* syscall() sets errno itself, so the caller's EINTR retry still works. */
    const ssize_t n = (ssize_t)syscall(SYS_write, fd, data, size);
    if (n == 16 && main_pid != 0 && atomic_load(&stream_fd) < 0 && fd != 2 && is_stdout(fd)) {
        atomic_store(&stream_fd, fd); /* the header: the stream's writes follow on this descriptor */
        return n;
    }
    if (n > 0 && fd == atomic_load_explicit(&stream_fd, memory_order_relaxed)) {
        if (thread_id == 0) thread_id = (pid_t)syscall(SYS_gettid);
        pid_t none = 0;
        atomic_compare_exchange_strong(&writer_tid, &none, thread_id);
    }
    if (n > 0 && fd == atomic_load_explicit(&stream_fd, memory_order_relaxed) && is_main()) {
        main_counts[WRITES] += 1;
        main_counts[WRITE_BYTES] += (uint64_t)n;
        if (!window_open && main_counts[WRITES] == skip_writes) {
            window_open = 1;
            snapshot(snap_start);
        }
        if (window_open) snapshot(snap_end);
    }
    return n;
}
