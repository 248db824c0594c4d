// What the statically linked C++ runtime of a portable module takes from the
// C library only on newer systems, defined inside the module so that the
// module loads on older ones. Built only into a portable module.
//
// The C library of 2.32 and later exports __libc_single_threaded, true while
// a process has one thread: libstdc++ reads it to skip atomic operations
// (reference counts, the guards of function-local statics) while it holds.
// This copy is private to the module and always false, so the runtime in the
// module always takes its thread-safe path, the one it takes anyway in any
// process with a second thread. Results are the same; only the shortcut goes.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
