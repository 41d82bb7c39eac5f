// The malloc and calloc wrappers behind AllocationWatch.
#include "alloc_failure.h"

#include <stddef.h>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
}

namespace {

bool watching = false;
long callCount = 0;
long failingCall = 0;

// Counts one call; true when this one is to fail.
bool FailThisCall() {
  if (!watching) return false;
  ++callCount;
  return callCount == failingCall;
}

} // namespace

extern "C" void *__wrap_malloc(size_t size) {
  return FailThisCall() ? nullptr : __real_malloc(size);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  return FailThisCall() ? nullptr : __real_calloc(count, size);
}

AllocationWatch::AllocationWatch(long failAt) {
  watching = true;
  callCount = 0;
  failingCall = failAt;
}

AllocationWatch::~AllocationWatch() {
  watching = false;
  failingCall = 0;
}

long AllocationWatch::calls() const { return callCount; }
