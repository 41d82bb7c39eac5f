// Byte sizes as the user writes them, and the choice of strip rows and
// threads within a memory bound.
#include "base/memory_plan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

#include "base/error.h"

namespace qx {

std::uint64_t parseByteSize(const std::string &text, const std::string &option) {
  const Error bad(option + ": \"" + text +
                  "\" is not a size in bytes (such as 2147483648, 512M, 2G or 2GiB)");
  std::size_t digits = 0;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (kMax - digit) / 10) throw bad;
    value = value * 10 + digit;
    ++digits;
  }
  if (digits == 0) throw bad;
  std::string unit = text.substr(digits);
  for (char &c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int shift = 0;
  if (!unit.empty() && unit != "B") {
    const std::string prefixes = "KMGT";
    const std::size_t at = prefixes.find(unit[0]);
    const std::string rest = unit.substr(1);
    if (at == std::string::npos || !(rest.empty() || rest == "B" || rest == "IB")) throw bad;
    shift = 10 * static_cast<int>(at + 1);
  }
  if (value > (kMax >> shift)) throw bad;
  value <<= shift;
  if (value == 0) throw Error(option + ": must be more than 0 bytes");
  return value;
}

std::string byteText(std::uint64_t bytes) {
  char text[64];
  const double value = static_cast<double>(bytes);
  if (bytes >= (std::uint64_t{1} << 30)) {
    std::snprintf(text, sizeof text, "%.1f GiB", value / (1 << 30));
  } else if (bytes >= (std::uint64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.1f MiB", value / (1 << 20));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  std::string result = text;
  // "2.0 GiB" reads better as "2 GiB".
  const std::size_t zero = result.find(".0 ");
  if (zero != std::string::npos) result.erase(zero, 2);
  return result;
}

MemoryPlan planMemory(std::uint64_t maxBytes, int rows, int minRows, int threads,
                      const std::function<std::uint64_t(int rows, int threads)> &cost) {
  MemoryPlan plan;
  plan.rows = std::max(rows, minRows);
  plan.threads = std::max(threads, 1);
  for (;;) {
    plan.bytes = cost(plan.rows, plan.threads);
    if (plan.bytes <= maxBytes) {
      plan.fits = true;
      return plan;
    }
    if (plan.rows > minRows) {
      // Halved, and kept a multiple of one chunk's rows.
      const int chunks = (plan.rows / minRows + 1) / 2;
      plan.rows = std::max(chunks, 1) * minRows;
    } else if (plan.threads > 1) {
      plan.threads /= 2;
    } else {
      return plan;
    }
  }
}

std::string memoryRefusal(const std::string &name, std::uint64_t bytes, std::uint64_t maxBytes,
                          const std::string &what) {
  return name + ": reading the frame would take " + byteText(bytes) + " (" + what +
         "), more than the " + byteText(maxBytes) + " allowed (--max-memory)";
}

} // namespace qx
