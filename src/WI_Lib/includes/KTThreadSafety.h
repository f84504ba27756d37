/* KTThreadSafety.h - lock annotations that clang's -Wthread-safety checks and other compilers ignore.
 *
 * KT_GUARDED_BY(lock) on a field: read and written only with `lock` held.
 * KT_PT_GUARDED_BY(lock) on a pointer field: what it points at is guarded.
 * KT_REQUIRES(lock) / KT_REQUIRES_SHARED(lock) on a function: the caller
 * holds `lock` (exclusively / at least shared). KT_EXCLUDES(lock): the caller
 * must not hold it (the function takes it). KT_ACQUIRE / KT_RELEASE and the
 * _SHARED forms: the function takes / leaves the lock. KT_TRY_ACQUIRE(v):
 * takes it when the function returns v. KT_RETURN_CAPABILITY(lock) on a
 * getter: it returns `lock`, so a public function of an opaque record can
 * name the record's lock through the getter. KT_LOCK_FREE("reason") documents a
 * field read without a lock on purpose (it must be atomic, or written once
 * before any other thread sees it); it expands to nothing.
 */
#ifndef KTTHREADSAFETY_H
#define KTTHREADSAFETY_H

#if defined(__clang__)
#define KT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KT_THREAD_ANNOTATION(x)
#endif

#define KT_CAPABILITY(x) KT_THREAD_ANNOTATION(capability(x))
#define KT_SCOPED_CAPABILITY KT_THREAD_ANNOTATION(scoped_lockable)
#define KT_GUARDED_BY(x) KT_THREAD_ANNOTATION(guarded_by(x))
#define KT_PT_GUARDED_BY(x) KT_THREAD_ANNOTATION(pt_guarded_by(x))
#define KT_REQUIRES(...) KT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KT_REQUIRES_SHARED(...) KT_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define KT_ACQUIRE(...) KT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KT_ACQUIRE_SHARED(...) KT_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define KT_RELEASE(...) KT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KT_RELEASE_SHARED(...) KT_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KT_RELEASE_GENERIC(...) KT_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define KT_TRY_ACQUIRE(...) KT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KT_EXCLUDES(...) KT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KT_ASSERT_CAPABILITY(x) KT_THREAD_ANNOTATION(assert_capability(x))
#define KT_ASSERT_SHARED_CAPABILITY(x) KT_THREAD_ANNOTATION(assert_shared_capability(x))
#define KT_RETURN_CAPABILITY(x) KT_THREAD_ANNOTATION(lock_returned(x))
#define KT_NO_THREAD_SAFETY_ANALYSIS KT_THREAD_ANNOTATION(no_thread_safety_analysis)
#define KT_LOCK_FREE(reason)

#endif /* KTTHREADSAFETY_H */
