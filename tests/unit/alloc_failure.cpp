// The malloc, calloc and free wrappers behind AllocationWatch.
#include "alloc_failure.h"

#include <stddef.h>

#include <unordered_set>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *block);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
void __wrap_free(void *block);
}

namespace {

bool watching = false;
long callCount = 0;
long failingCall = 0;

// The blocks handed out while watching. The set allocates through the C++
// runtime, whose calls do not pass through the wrappers; it is never
// destroyed, since frees keep coming until the process ends.
std::unordered_set<void *> &Handed() {
  static std::unordered_set<void *> *blocks = new std::unordered_set<void *>;
  return *blocks;
}

// Counts one call; true when this one is to fail.
bool reachedFailure = false;

bool FailThisCall() {
  if (!watching) return false;
  ++callCount;
  if (callCount != failingCall) return false;
  reachedFailure = true;
  return true;
}

void *Note(void *block) {
  if (watching && block != nullptr) Handed().insert(block);
  return block;
}

} // namespace

extern "C" void *__wrap_malloc(size_t size) {
  return FailThisCall() ? nullptr : Note(__real_malloc(size));
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  return FailThisCall() ? nullptr : Note(__real_calloc(count, size));
}

extern "C" void __wrap_free(void *block) {
  if (watching && block != nullptr) Handed().erase(block);
  __real_free(block);
}

AllocationWatch::AllocationWatch(long failAt) {
  Handed().clear();
  watching = true;
  reachedFailure = false;
  callCount = 0;
  failingCall = failAt;
}

AllocationWatch::~AllocationWatch() {
  watching = false;
  failingCall = 0;
  Handed().clear();
}

void AllocationWatch::stopFailing() { failingCall = 0; }

long AllocationWatch::calls() const { return callCount; }

bool AllocationWatch::failed() const { return reachedFailure; }

long AllocationWatch::outstanding() const { return static_cast<long>(Handed().size()); }
