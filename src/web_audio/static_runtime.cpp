// Only in builds that link the C++ runtime into the module (WEB_AUDIO_STATIC_RUNTIME).
//
// The static libstdc++ reads the C library's `__libc_single_threaded` (a variable of its 2.32
// release onwards) to skip atomic operations while a process has one thread.  This private
// definition stands in for it, so the module needs no C library of that age; it always reads
// "several threads", which is correct in every process, merely without that shortcut.
#ifdef WEB_AUDIO_STATIC_RUNTIME
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
#endif
