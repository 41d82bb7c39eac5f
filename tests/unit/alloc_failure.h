// Makes malloc and calloc fail on demand, so that tests can prove what the
// module does when memory runs out. The unit-test executable is linked with
// --wrap for both functions: every call from the module's objects and from
// the tests passes through the counter below.
#ifndef QX_TESTS_ALLOC_FAILURE_H
#define QX_TESTS_ALLOC_FAILURE_H

// While one of these lives, malloc and calloc calls are counted, and the call
// numbered `failAt` (1 for the first) returns null; 0 fails none. Only one
// may live at a time.
class AllocationWatch {
public:
  explicit AllocationWatch(long failAt = 0);
  ~AllocationWatch();
  AllocationWatch(const AllocationWatch &) = delete;
  AllocationWatch &operator=(const AllocationWatch &) = delete;

  // Calls counted so far, the failed one included.
  long calls() const;
};

#endif
