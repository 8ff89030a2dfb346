#ifndef THREADHANDOVER_H
#define THREADHANDOVER_H

// Qt's thread pool and its queued signals synchronise inside Qt, which the
// thread sanitizer cannot see (Qt is not built with it): without these marks
// every hand-over of a worker to the pool and of its result back would be
// reported as a race and bury the real ones. A release on one thread orders
// everything before it before everything after the matching acquire of the
// same key on another. Outside the sanitizer build they are nothing.
#ifdef KV_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

inline void handOverRelease(const void* key)
{
    __tsan_release(const_cast<void*>(key));
}

inline void handOverAcquire(const void* key)
{
    __tsan_acquire(const_cast<void*>(key));
}
#else
inline void handOverRelease(const void*) { }
inline void handOverAcquire(const void*) { }
#endif

#endif
