// Makes malloc and calloc fail on demand, so that tests can prove what the
// module does when memory runs out. The unit-test executable is linked with
// --wrap for malloc, calloc and free: every call from the module's objects and
// from the tests passes through the counter below. (The C++ runtime's own
// allocations do not: they are made inside its shared library.)
#ifndef QX_TESTS_ALLOC_FAILURE_H
#define QX_TESTS_ALLOC_FAILURE_H

// While one of these lives, malloc and calloc calls are counted, and the call
// numbered `failAt` (1 for the first) returns null; 0 fails none. It also
// keeps the blocks handed out meanwhile until they are freed, so that a test
// can tell what was left allocated. Only one may live at a time.
class AllocationWatch {
public:
  explicit AllocationWatch(long failAt = 0);
  ~AllocationWatch();
  AllocationWatch(const AllocationWatch &) = delete;
  AllocationWatch &operator=(const AllocationWatch &) = delete;

  // From now on no call fails; counting and keeping go on.
  void stopFailing();

  // Calls counted so far, the failed one included.
  long calls() const;
  // Whether the call numbered `failAt` was reached (and so failed).
  bool failed() const;
  // Blocks handed out while watching and not freed since.
  long outstanding() const;
};

#endif
