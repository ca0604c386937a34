/*
 * The test seam: a library preloaded into a run of the binary that counts the
 * run's libc calls by name and, at a chosen call, pauses the run, makes the
 * call fail or kills the process. Only tests load it; the shipped binary has no
 * hooks and reads no environment.
 *
 * How a test uses it: through anchorfs::test::run_anchorfs (tests/support/
 * harness.hpp), which sets LD_PRELOAD and the variables below. By hand:
 *
 *   LD_PRELOAD=libanchorfs_seam.so ANCHORFS_SEAM='pause:mkdirat:1' \
 *   ANCHORFS_SEAM_NOTIFY_FD=5 ANCHORFS_SEAM_RESUME_FD=6 anchorfs ensure-dir ...
 *
 * ANCHORFS_SEAM holds rules separated by ';':
 *   pause:FUNC:N      after the N-th call of FUNC returns, write "FUNC N\n" to
 *                     the notify fd and block until one byte (or end of input)
 *                     arrives on the resume fd; the call's result and errno are
 *                     then returned unchanged.
 *   fail:FUNC:N:ERR   the N-th call of FUNC is not made; it returns failure (-1,
 *                     NULL for fdopendir/readdir, EOF for fflush) with errno ERR,
 *                     a decimal number or a name such as EIO. close and closedir
 *                     are the exception: Linux releases the descriptor even when
 *                     close reports an error, so those calls are made and their
 *                     failure is reported afterwards.
 *   kill:FUNC:N       after the N-th call of FUNC returns, SIGKILL the process
 *                     (a crash: buffered standard output is lost).
 * N counts the calls of FUNC from 1 within the process; aliases count under one
 * name (open64 as open, openat64 as openat, fstat64 as fstat, fstatat64 and
 * newfstatat as fstatat, lseek64 as lseek, readdir64 as readdir, fstatfs64 as
 * fstatfs, fcntl64 as fcntl; the fortified __open_2, __openat_2, __read_chk, __readlink_chk and
 * __readlinkat_chk as their plain names).
 *
 * ANCHORFS_SEAM_NOTIFY_FD, ANCHORFS_SEAM_RESUME_FD: the pause pipes; required
 *   when a pause rule is given. At exit, every rule that never matched its call
 *   is reported on the notify fd as "unfired RULE\n".
 * ANCHORFS_SEAM_TRACE_FD: after each intercepted call, "FUNC RESULT ERRNO\n"
 *   (pointers as 0 or 1; ERRNO 0 unless the call failed).
 * ANCHORFS_SEAM_FDCHECK_FD: at exit, "leak N\n" for each descriptor still open
 *   besides 0, 1, 2 and the seam's own.
 * A malformed configuration is reported on standard error and ends the process
 * with status 125 before the program runs.
 *
 * The seam does its own I/O with raw system calls, so it never counts itself,
 * and it keeps the caller's errno across its bookkeeping. It assumes the single
 * thread that the binary has.
 */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

/* Each counted function name, one enumerator per name. */
#define SEAM_FUNCTIONS(X)                                                                          \
    X(open) X(openat) X(mkdirat) X(renameat2) X(renameat) X(linkat) X(unlinkat) X(symlinkat)       \
    X(fchmod) X(fchmodat) X(fchown) X(fchownat) X(fsync) X(fdatasync) X(ftruncate) X(read)         \
    X(write) X(fstat) X(fstatat) X(statx) X(close) X(dup) X(lseek) X(fdopendir) X(readdir)         \
    X(closedir) X(readlink) X(readlinkat) X(fstatfs) X(name_to_handle_at) X(open_by_handle_at)     \
    X(fflush) X(getdents64) X(fcntl) X(madvise)

enum seam_function {
#define SEAM_ENUMERATOR(name) seam_##name,
    SEAM_FUNCTIONS(SEAM_ENUMERATOR)
#undef SEAM_ENUMERATOR
    seam_function_count
};

static const char* const function_names[seam_function_count] = {
#define SEAM_NAME(name) #name,
    SEAM_FUNCTIONS(SEAM_NAME)
#undef SEAM_NAME
};

static const struct {
    const char* name;
    enum seam_function function;
} function_aliases[] = {
    {"open64", seam_open},     {"openat64", seam_openat}, {"fstat64", seam_fstat},
    {"fstatat64", seam_fstatat}, {"newfstatat", seam_fstatat}, {"lseek64", seam_lseek},
    {"readdir64", seam_readdir}, {"fstatfs64", seam_fstatfs}, {"fcntl64", seam_fcntl},
};

#define SEAM_ERROR(name) {#name, name},
static const struct {
    const char* name;
    int number;
} error_names[] = {
    SEAM_ERROR(EPERM) SEAM_ERROR(ENOENT) SEAM_ERROR(ESRCH) SEAM_ERROR(EINTR) SEAM_ERROR(EIO)
    SEAM_ERROR(ENXIO) SEAM_ERROR(E2BIG) SEAM_ERROR(EBADF) SEAM_ERROR(EAGAIN) SEAM_ERROR(EWOULDBLOCK)
    SEAM_ERROR(ENOMEM) SEAM_ERROR(EACCES) SEAM_ERROR(EFAULT) SEAM_ERROR(EBUSY) SEAM_ERROR(EEXIST)
    SEAM_ERROR(EXDEV) SEAM_ERROR(ENODEV) SEAM_ERROR(ENOTDIR) SEAM_ERROR(EISDIR) SEAM_ERROR(EINVAL)
    SEAM_ERROR(ENFILE) SEAM_ERROR(EMFILE) SEAM_ERROR(ETXTBSY) SEAM_ERROR(EFBIG) SEAM_ERROR(ENOSPC)
    SEAM_ERROR(ESPIPE) SEAM_ERROR(EROFS) SEAM_ERROR(EMLINK) SEAM_ERROR(EPIPE) SEAM_ERROR(ERANGE)
    SEAM_ERROR(ENAMETOOLONG) SEAM_ERROR(ENOSYS) SEAM_ERROR(ENOTEMPTY) SEAM_ERROR(ELOOP)
    SEAM_ERROR(EOPNOTSUPP) SEAM_ERROR(ENOTSUP) SEAM_ERROR(EDQUOT) SEAM_ERROR(ESTALE)
    SEAM_ERROR(EOVERFLOW) SEAM_ERROR(ENODATA) SEAM_ERROR(ETIMEDOUT) SEAM_ERROR(ECANCELED)
    SEAM_ERROR(EUCLEAN) SEAM_ERROR(ENOTSOCK) SEAM_ERROR(EILSEQ)
};
#undef SEAM_ERROR

enum rule_kind { rule_pause, rule_fail, rule_kill };

struct rule {
    enum rule_kind kind;
    enum seam_function function;
    unsigned long call;
    int error;
    int fired;
    char text[128];
};

#define RULE_CAPACITY 64
#define CONFIG_CAPACITY 8192

static struct rule rules[RULE_CAPACITY];
static int rule_count;
static int notify_fd = -1;
static int resume_fd = -1;
static int trace_fd = -1;
static int fdcheck_fd = -1;
static int initialized;
static unsigned long call_counts[seam_function_count];
/* Set while a real call runs, so that calls it makes itself are not counted. */
static _Thread_local int inside_call;
/* Set once the program's main has returned (coverage builds only, below). */
static int main_returned;

/* ---- raw output, never through an interposed function ---- */

static void raw_write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        long written = syscall(SYS_write, fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        size -= (size_t)written;
    }
}

struct line {
    char text[256];
    size_t size;
};

static void line_text(struct line* line, const char* text)
{
    size_t length = strlen(text);
    if (length > sizeof line->text - line->size - 1)
        length = sizeof line->text - line->size - 1;
    memcpy(line->text + line->size, text, length);
    line->size += length;
}

static void line_number(struct line* line, long long value)
{
    char digits[24];
    size_t count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    do {
        digits[count++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[count++] = '-';
    while (count > 0 && line->size < sizeof line->text - 1)
        line->text[line->size++] = digits[--count];
}

static void line_send(struct line* line, int fd)
{
    line->text[line->size++] = '\n';
    raw_write_all(fd, line->text, line->size);
}

static void configuration_error(const char* what, const char* detail)
{
    struct line line = {.size = 0};
    line_text(&line, "anchorfs_seam: ");
    line_text(&line, what);
    line_text(&line, ": ");
    line_text(&line, detail);
    line_send(&line, 2);
    syscall(SYS_exit_group, 125);
}

/* ---- configuration ---- */

static int parse_number(const char* text, unsigned long* value)
{
    if (text == NULL || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    char* end = NULL;
    unsigned long parsed = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return -1;
    *value = parsed;
    return 0;
}

static int function_by_name(const char* name)
{
    for (int i = 0; i < seam_function_count; ++i)
        if (strcmp(function_names[i], name) == 0)
            return i;
    for (size_t i = 0; i < sizeof function_aliases / sizeof function_aliases[0]; ++i)
        if (strcmp(function_aliases[i].name, name) == 0)
            return (int)function_aliases[i].function;
    return -1;
}

static int error_by_name(const char* name)
{
    unsigned long number;
    if (parse_number(name, &number) == 0)
        return number > 0 && number < 4096 ? (int)number : -1;
    for (size_t i = 0; i < sizeof error_names / sizeof error_names[0]; ++i)
        if (strcmp(error_names[i].name, name) == 0)
            return error_names[i].number;
    return -1;
}

static void parse_rule(char* text)
{
    if (rule_count == RULE_CAPACITY)
        configuration_error("too many rules", text);
    struct rule* rule = &rules[rule_count];
    size_t length = strlen(text);
    if (length >= sizeof rule->text)
        configuration_error("rule too long", text);
    memcpy(rule->text, text, length + 1);

    char* fields[5] = {NULL, NULL, NULL, NULL, NULL};
    int field_count = 0;
    char* cursor = text;
    while (cursor != NULL && field_count < 5) {
        fields[field_count++] = cursor;
        char* colon = strchr(cursor, ':');
        if (colon != NULL)
            *colon = '\0';
        cursor = colon != NULL ? colon + 1 : NULL;
    }
    if (cursor != NULL)
        configuration_error("too many fields in rule", rule->text);

    if (strcmp(fields[0], "pause") == 0 && field_count == 3)
        rule->kind = rule_pause;
    else if (strcmp(fields[0], "kill") == 0 && field_count == 3)
        rule->kind = rule_kill;
    else if (strcmp(fields[0], "fail") == 0 && field_count == 4)
        rule->kind = rule_fail;
    else
        configuration_error("unknown rule form (pause:FUNC:N, fail:FUNC:N:ERR, kill:FUNC:N)", rule->text);

    int function = function_by_name(fields[1]);
    if (function < 0)
        configuration_error("function not interposed", rule->text);
    rule->function = (enum seam_function)function;
    if (parse_number(fields[2], &rule->call) != 0 || rule->call == 0)
        configuration_error("call number must be a decimal from 1", rule->text);
    if (rule->kind == rule_fail) {
        rule->error = error_by_name(fields[3]);
        if (rule->error < 0)
            configuration_error("unknown error", rule->text);
    }
    rule->fired = 0;
    ++rule_count;
}

static int descriptor_variable(const char* name)
{
    const char* text = getenv(name);
    if (text == NULL)
        return -1;
    unsigned long fd;
    if (parse_number(text, &fd) != 0 || fd > 1048576)
        configuration_error("not a descriptor number", name);
    return (int)fd;
}

static void seam_initialize(void)
{
    if (initialized)
        return;
    initialized = 1;
    int saved = errno;
    notify_fd = descriptor_variable("ANCHORFS_SEAM_NOTIFY_FD");
    resume_fd = descriptor_variable("ANCHORFS_SEAM_RESUME_FD");
    trace_fd = descriptor_variable("ANCHORFS_SEAM_TRACE_FD");
    fdcheck_fd = descriptor_variable("ANCHORFS_SEAM_FDCHECK_FD");

    const char* configured = getenv("ANCHORFS_SEAM");
    if (configured != NULL) {
        static char copy[CONFIG_CAPACITY];
        size_t length = strlen(configured);
        if (length >= sizeof copy)
            configuration_error("ANCHORFS_SEAM", "too long");
        memcpy(copy, configured, length + 1);
        char* cursor = copy;
        while (cursor != NULL) {
            char* separator = strchr(cursor, ';');
            if (separator != NULL)
                *separator = '\0';
            if (*cursor != '\0')
                parse_rule(cursor);
            cursor = separator != NULL ? separator + 1 : NULL;
        }
    }
    for (int i = 0; i < rule_count; ++i)
        if (rules[i].kind == rule_pause && (notify_fd < 0 || resume_fd < 0))
            configuration_error("pause rule without ANCHORFS_SEAM_NOTIFY_FD and ANCHORFS_SEAM_RESUME_FD",
                                rules[i].text);
    errno = saved;
}

__attribute__((constructor)) static void seam_start(void)
{
    seam_initialize();
}

/* ---- one intercepted call ---- */

struct seam_call {
    enum seam_function function;
    unsigned long number;
    int caller_errno;         /* errno when the call was entered */
    const struct rule* fail;  /* the fail rule of this call, if any */
    int real_errno;           /* errno the real call left (0 when it left it alone) */
    int failed;               /* the real call reported failure */
};

/* Counts the call; returns 1 when a fail rule covers it. */
static int seam_enter(enum seam_function function, struct seam_call* call)
{
    call->caller_errno = errno;
    seam_initialize();
    call->function = function;
    call->number = ++call_counts[function];
    call->fail = NULL;
    call->real_errno = 0;
    call->failed = 0;
    for (int i = 0; i < rule_count; ++i) {
        struct rule* rule = &rules[i];
        if (rule->kind == rule_fail && rule->function == function && rule->call == call->number) {
            rule->fired = 1;
            if (call->fail == NULL)
                call->fail = rule;
        }
    }
    return call->fail != NULL;
}

static void seam_pause(const struct seam_call* call)
{
    struct line line = {.size = 0};
    line_text(&line, function_names[call->function]);
    line_text(&line, " ");
    line_number(&line, (long long)call->number);
    line_send(&line, notify_fd);
    char byte;
    while (syscall(SYS_read, resume_fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

/* Traces the call, applies its pause and kill rules and sets the errno the
   caller sees: the injected error, or whatever the real call left. */
static void seam_leave(const struct seam_call* call, long long traced_result)
{
    int final_errno;
    int traced_errno;
    if (call->fail != NULL) {
        final_errno = call->fail->error;
        traced_errno = call->fail->error;
    } else {
        final_errno = call->real_errno != 0 ? call->real_errno : call->caller_errno;
        traced_errno = call->failed ? call->real_errno : 0;
    }
    if (trace_fd >= 0) {
        struct line line = {.size = 0};
        line_text(&line, function_names[call->function]);
        line_text(&line, " ");
        line_number(&line, traced_result);
        line_text(&line, " ");
        line_number(&line, traced_errno);
        line_send(&line, trace_fd);
    }
    for (int i = 0; i < rule_count; ++i) {
        struct rule* rule = &rules[i];
        if (rule->kind == rule_fail || rule->function != call->function || rule->call != call->number)
            continue;
        rule->fired = 1;
        if (rule->kind == rule_pause)
            seam_pause(call);
        else
            syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
    }
    errno = final_errno;
}

static void* resolve(void** slot, const char* name)
{
    if (*slot == NULL) {
        int saved = errno;
        *slot = dlsym(RTLD_NEXT, name);
        errno = saved;
    }
    return *slot;
}

/* Failure injection makes these calls all the same (see the rule list above). */
static int made_despite_failure(enum seam_function function)
{
    return function == seam_close || function == seam_closedir;
}

/*
 * The body of every hook. TYPE is the return type, FUNCTION the counted name,
 * SYMBOL the libc symbol, FAILURE the failure value, CALL the real call through
 * `real`, FAILED whether `result` reports failure, TRACED the number traced.
 */
#define SEAM_HOOK(TYPE, FUNCTION, SYMBOL, FAILURE, CALL, FAILED, TRACED)                          \
    static void* real_slot;                                                                        \
    __typeof__(SYMBOL)* real = (__typeof__(SYMBOL)*)resolve(&real_slot, #SYMBOL);                 \
    if (real == NULL) {                                                                            \
        errno = ENOSYS;                                                                            \
        return FAILURE;                                                                            \
    }                                                                                              \
    if (inside_call || main_returned)                                                              \
        return CALL;                                                                               \
    struct seam_call call;                                                                         \
    TYPE result = FAILURE;                                                                         \
    int inject = seam_enter(FUNCTION, &call);                                                      \
    if (!inject || made_despite_failure(FUNCTION)) {                                               \
        inside_call = 1;                                                                           \
        errno = 0;                                                                                 \
        result = CALL;                                                                             \
        inside_call = 0;                                                                           \
        call.real_errno = errno;                                                                   \
        call.failed = (FAILED);                                                                    \
    }                                                                                              \
    if (inject)                                                                                    \
        result = FAILURE;                                                                          \
    seam_leave(&call, (long long)(TRACED));                                                        \
    return result

#define SEAM_INT(TYPE, FUNCTION, SYMBOL, CALL)                                                     \
    SEAM_HOOK(TYPE, FUNCTION, SYMBOL, (TYPE)-1, CALL, result == (TYPE)-1, result)
#define SEAM_POINTER(TYPE, FUNCTION, SYMBOL, CALL)                                                 \
    SEAM_HOOK(TYPE, FUNCTION, SYMBOL, NULL, CALL, result == NULL, result != NULL)

#ifdef SEAM_UNTIL_MAIN_RETURNS
/*
 * In a coverage build the profile runtime writes its counts after main
 * returns, with open and fcntl calls of its own. They are not the program's:
 * counting them would shift every traced call list and let a rule fail or
 * kill the runtime instead of the program. _start reaches __libc_start_main
 * through the dynamic linker, so the seam hands it a main that marks its
 * return.
 */
typedef int (*seam_main_function)(int, char**, char**);
static seam_main_function program_main;

static int seam_main(int argc, char** argv, char** envp)
{
    int status = program_main(argc, argv, envp);
    main_returned = 1;
    return status;
}

int __libc_start_main(seam_main_function main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void* stack_end)
{
    static void* real_slot;
    int (*real)(seam_main_function, int, char**, void (*)(void), void (*)(void), void (*)(void), void*) =
        (int (*)(seam_main_function, int, char**, void (*)(void), void (*)(void), void (*)(void), void*))resolve(
            &real_slot, "__libc_start_main");
    program_main = main;
    return real(seam_main, argc, argv, init, fini, rtld_fini, stack_end);
}
#endif

static int needs_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define VARIADIC_MODE(flags)                                                                       \
    mode_t mode = 0;                                                                               \
    if (needs_mode(flags)) {                                                                       \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode = (mode_t)va_arg(arguments, unsigned int);                                            \
        va_end(arguments);                                                                         \
    }

/* ---- the hooks ---- */

int open(const char* path, int flags, ...)
{
    VARIADIC_MODE(flags)
    SEAM_INT(int, seam_open, open, real(path, flags, mode));
}

int open64(const char* path, int flags, ...)
{
    VARIADIC_MODE(flags)
    SEAM_INT(int, seam_open, open64, real(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...)
{
    VARIADIC_MODE(flags)
    SEAM_INT(int, seam_openat, openat, real(dir, path, flags, mode));
}

int openat64(int dir, const char* path, int flags, ...)
{
    VARIADIC_MODE(flags)
    SEAM_INT(int, seam_openat, openat64, real(dir, path, flags, mode));
}

/* The fortified entry points that _FORTIFY_SOURCE builds call instead. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dir, const char* path, int flags);
int __openat64_2(int dir, const char* path, int flags);
ssize_t __read_chk(int fd, void* buffer, size_t size, size_t buffer_size);
ssize_t __readlink_chk(const char* path, char* buffer, size_t size, size_t buffer_size);
ssize_t __readlinkat_chk(int dir, const char* path, char* buffer, size_t size, size_t buffer_size);

int __open_2(const char* path, int flags)
{
    SEAM_INT(int, seam_open, __open_2, real(path, flags));
}

int __open64_2(const char* path, int flags)
{
    SEAM_INT(int, seam_open, __open64_2, real(path, flags));
}

int __openat_2(int dir, const char* path, int flags)
{
    SEAM_INT(int, seam_openat, __openat_2, real(dir, path, flags));
}

int __openat64_2(int dir, const char* path, int flags)
{
    SEAM_INT(int, seam_openat, __openat64_2, real(dir, path, flags));
}

ssize_t __read_chk(int fd, void* buffer, size_t size, size_t buffer_size)
{
    SEAM_INT(ssize_t, seam_read, __read_chk, real(fd, buffer, size, buffer_size));
}

ssize_t __readlink_chk(const char* path, char* buffer, size_t size, size_t buffer_size)
{
    SEAM_INT(ssize_t, seam_readlink, __readlink_chk, real(path, buffer, size, buffer_size));
}

ssize_t __readlinkat_chk(int dir, const char* path, char* buffer, size_t size, size_t buffer_size)
{
    SEAM_INT(ssize_t, seam_readlinkat, __readlinkat_chk, real(dir, path, buffer, size, buffer_size));
}

int mkdirat(int dir, const char* path, mode_t mode)
{
    SEAM_INT(int, seam_mkdirat, mkdirat, real(dir, path, mode));
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags)
{
    SEAM_INT(int, seam_renameat2, renameat2, real(from_dir, from, to_dir, to, flags));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    SEAM_INT(int, seam_renameat, renameat, real(from_dir, from, to_dir, to));
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags)
{
    SEAM_INT(int, seam_linkat, linkat, real(from_dir, from, to_dir, to, flags));
}

int unlinkat(int dir, const char* path, int flags)
{
    SEAM_INT(int, seam_unlinkat, unlinkat, real(dir, path, flags));
}

int symlinkat(const char* target, int dir, const char* path)
{
    SEAM_INT(int, seam_symlinkat, symlinkat, real(target, dir, path));
}

int fchmod(int fd, mode_t mode)
{
    SEAM_INT(int, seam_fchmod, fchmod, real(fd, mode));
}

int fchmodat(int dir, const char* path, mode_t mode, int flags)
{
    SEAM_INT(int, seam_fchmodat, fchmodat, real(dir, path, mode, flags));
}

int fchown(int fd, uid_t owner, gid_t group)
{
    SEAM_INT(int, seam_fchown, fchown, real(fd, owner, group));
}

int fchownat(int dir, const char* path, uid_t owner, gid_t group, int flags)
{
    SEAM_INT(int, seam_fchownat, fchownat, real(dir, path, owner, group, flags));
}

int fsync(int fd)
{
    SEAM_INT(int, seam_fsync, fsync, real(fd));
}

int fdatasync(int fd)
{
    SEAM_INT(int, seam_fdatasync, fdatasync, real(fd));
}

int ftruncate(int fd, off_t length)
{
    SEAM_INT(int, seam_ftruncate, ftruncate, real(fd, length));
}

ssize_t read(int fd, void* buffer, size_t size)
{
    SEAM_INT(ssize_t, seam_read, read, real(fd, buffer, size));
}

ssize_t write(int fd, const void* buffer, size_t size)
{
    SEAM_INT(ssize_t, seam_write, write, real(fd, buffer, size));
}

int fstat(int fd, struct stat* status)
{
    SEAM_INT(int, seam_fstat, fstat, real(fd, status));
}

int fstat64(int fd, struct stat64* status)
{
    SEAM_INT(int, seam_fstat, fstat64, real(fd, status));
}

int fstatat(int dir, const char* path, struct stat* status, int flags)
{
    SEAM_INT(int, seam_fstatat, fstatat, real(dir, path, status, flags));
}

int fstatat64(int dir, const char* path, struct stat64* status, int flags)
{
    SEAM_INT(int, seam_fstatat, fstatat64, real(dir, path, status, flags));
}

/* Not a glibc export on x86_64 (the system call's name); kept for callers that
   declare it themselves, and made through fstatat. */
int newfstatat(int dir, const char* path, struct stat* status, int flags);
int newfstatat(int dir, const char* path, struct stat* status, int flags)
{
    SEAM_INT(int, seam_fstatat, fstatat, real(dir, path, status, flags));
}

int statx(int dir, const char* path, int flags, unsigned int mask, struct statx* status)
{
    SEAM_INT(int, seam_statx, statx, real(dir, path, flags, mask, status));
}

int close(int fd)
{
    SEAM_INT(int, seam_close, close, real(fd));
}

int dup(int fd)
{
    SEAM_INT(int, seam_dup, dup, real(fd));
}

off_t lseek(int fd, off_t offset, int whence)
{
    SEAM_INT(off_t, seam_lseek, lseek, real(fd, offset, whence));
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    SEAM_INT(off64_t, seam_lseek, lseek64, real(fd, offset, whence));
}

DIR* fdopendir(int fd)
{
    SEAM_POINTER(DIR*, seam_fdopendir, fdopendir, real(fd));
}

struct dirent* readdir(DIR* stream)
{
    SEAM_POINTER(struct dirent*, seam_readdir, readdir, real(stream));
}

struct dirent64* readdir64(DIR* stream)
{
    SEAM_POINTER(struct dirent64*, seam_readdir, readdir64, real(stream));
}

int closedir(DIR* stream)
{
    SEAM_INT(int, seam_closedir, closedir, real(stream));
}

ssize_t readlink(const char* path, char* buffer, size_t size)
{
    SEAM_INT(ssize_t, seam_readlink, readlink, real(path, buffer, size));
}

ssize_t readlinkat(int dir, const char* path, char* buffer, size_t size)
{
    SEAM_INT(ssize_t, seam_readlinkat, readlinkat, real(dir, path, buffer, size));
}

int fstatfs(int fd, struct statfs* status)
{
    SEAM_INT(int, seam_fstatfs, fstatfs, real(fd, status));
}

int fstatfs64(int fd, struct statfs64* status)
{
    SEAM_INT(int, seam_fstatfs, fstatfs64, real(fd, status));
}

int name_to_handle_at(int dir, const char* path, struct file_handle* handle, int* mount_id, int flags)
{
    SEAM_INT(int, seam_name_to_handle_at, name_to_handle_at, real(dir, path, handle, mount_id, flags));
}

int open_by_handle_at(int mount_fd, struct file_handle* handle, int flags)
{
    SEAM_INT(int, seam_open_by_handle_at, open_by_handle_at, real(mount_fd, handle, flags));
}

int fflush(FILE* stream)
{
    SEAM_HOOK(int, seam_fflush, fflush, EOF, real(stream), result == EOF, result);
}

/* readdir reads through libc's internal entry point, so only the program's own
   calls of getdents64 count here. */
ssize_t getdents64(int fd, void* buffer, size_t size)
{
    SEAM_INT(ssize_t, seam_getdents64, getdents64, real(fd, buffer, size));
}

int madvise(void* address, size_t length, int advice)
{
    SEAM_INT(int, seam_madvise, madvise, real(address, length, advice));
}

/* Every command the program gives takes an int or no argument at all; on this
   ABI one machine word read as unsigned long carries either. */
#define VARIADIC_WORD(last)                                                                        \
    va_list arguments;                                                                             \
    va_start(arguments, last);                                                                     \
    unsigned long word = va_arg(arguments, unsigned long);                                         \
    va_end(arguments);

int fcntl(int fd, int command, ...)
{
    VARIADIC_WORD(command)
    SEAM_INT(int, seam_fcntl, fcntl, real(fd, command, word));
}

int fcntl64(int fd, int command, ...)
{
    VARIADIC_WORD(command)
    SEAM_INT(int, seam_fcntl, fcntl64, real(fd, command, word));
}

/* ---- at exit ---- */

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

static int own_descriptor(int fd, int listing_fd)
{
    return fd == listing_fd || fd == notify_fd || fd == resume_fd || fd == trace_fd || fd == fdcheck_fd;
}

static void report_open_descriptors(void)
{
    long listing = syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        struct line line = {.size = 0};
        line_text(&line, "leak -1");
        line_send(&line, fdcheck_fd);
        return;
    }
    static char buffer[8192] __attribute__((aligned(8)));
    for (;;) {
        long size = syscall(SYS_getdents64, (int)listing, buffer, sizeof buffer);
        if (size <= 0)
            break;
        for (long offset = 0; offset < size;) {
            const struct linux_dirent64* entry = (const struct linux_dirent64*)(buffer + offset);
            offset += entry->d_reclen;
            unsigned long fd;
            if (parse_number(entry->d_name, &fd) != 0 || fd <= 2 || own_descriptor((int)fd, (int)listing))
                continue;
            struct line line = {.size = 0};
            line_text(&line, "leak ");
            line_number(&line, (long long)fd);
            line_send(&line, fdcheck_fd);
        }
    }
    syscall(SYS_close, (int)listing);
}

__attribute__((destructor)) static void seam_finish(void)
{
    int saved = errno;
    if (fdcheck_fd >= 0)
        report_open_descriptors();
    if (notify_fd >= 0) {
        for (int i = 0; i < rule_count; ++i) {
            if (rules[i].fired)
                continue;
            struct line line = {.size = 0};
            line_text(&line, "unfired ");
            line_text(&line, rules[i].text);
            line_send(&line, notify_fd);
        }
    }
    errno = saved;
}
