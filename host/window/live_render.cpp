// The background render of the render view.
#include "window/live_render.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include "frames/renderer.h"
#include "scene/state_check.h"

namespace qx {
namespace {

// Thrown from inside the per-pixel pass to end it early.
struct Stopped {};

} // namespace

LiveRender::LiveRender(std::shared_ptr<const PixelFilter> filter, Frame input, unsigned int threads,
                       Finish finish)
    : filter_(std::move(filter)), input_(std::move(input)), threads_(threads),
      finish_(std::move(finish)) {}

LiveRender::~LiveRender() { stop(); }

void LiveRender::stop() {
  if (!worker_.joinable()) return;
  cancel_ = true;
  worker_.join();
  cancel_ = false;
  spareKnown_ = false; // the stopped render left its buffers half written
  if (instance_ != nullptr) instance_->cleanup();
  instance_.reset();
}

bool LiveRender::request(const std::vector<std::string> &state) {
  if (busy() && state == pendingState_) return false;
  if (!busy() && hasShown_ && state == shownState_) return false;
  if (busy()) stop();
  const auto start = std::chrono::steady_clock::now();
  // As `render` makes its instance: created, given the lines, asked for its
  // buffers, told of the pass and of frame 0.
  instance_ = std::make_unique<PixelFilterInstance>(filter_);
  instance_->load(state);
  (void)instance_->flags();
  instance_->init(0);
  instance_->newTime(0, 0.0);
  // An edit touches the pixels of the values whose stacks it changed.
  std::vector<std::uint32_t> pixels;
  const bool partial = touchedPixels(state, pixels);
  pendingState_ = state;
  done_ = false;
  resultOk_ = false;
  resultFailure_.clear();
  const PixelFilterInstance *instance = instance_.get();
  pendingPixels_ = std::move(pixels);
  pendingPartial_ = partial;
  worker_ = std::thread([this, instance, start, partial] {
    const std::vector<std::uint32_t> &listed = pendingPixels_;
    try {
      RenderOptions options;
      options.threads = threads_;
      options.progress = nullptr;
      if (partial) options.pixels = &listed;
      const PixelEvaluator evaluate = [&](const HostPixelAccess &access) {
        if (cancel_.load(std::memory_order_relaxed)) throw Stopped{};
        instance->evaluate(access);
      };
      // Rendered into the buffers of the render before last, which keep
      // their memory: a 4K frame's colour is not allocated anew at each edit.
      Frame &out = resultRaw_;
      if (partial && spareKnown_) {
        // They hold the render before last, which differs from the one
        // shown only where that one filtered.
        for (int c = 32; c < 36; ++c) {
          const float *from = shownRaw_.plane(c);
          float *to = out.mutablePlane(c);
          for (std::uint32_t i : shownPixelList_) to[i] = from[i];
        }
      } else if (partial) {
        out = shownRaw_; // the pixels no edit touched
      }
      if (ranks_.empty()) {
        renderInto(input_, out, evaluate, options);
      } else {
        std::vector<RankPlanes> planes;
        for (std::size_t k = 0; k + 1 < ranks_.size(); k += 2) {
          planes.push_back({ranks_[k].data(), ranks_[k + 1].data()});
        }
        renderCoverage(input_, planes, out, evaluate, options);
      }
      resultPixels_ = partial ? listed.size() : input_.pixelCount();
      if (finish_) {
        result_ = out;
        finish_(input_, result_);
      }
      resultOk_ = true;
    } catch (const Stopped &) {
    } catch (const std::exception &e) {
      resultFailure_ = e.what();
    } catch (...) {
      resultFailure_ = "the render stopped";
    }
    resultSeconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done_ = true;
  });
  return true;
}

bool LiveRender::collect() {
  if (!busy() || !done_) return false;
  return take();
}

void LiveRender::wait() {
  if (busy()) take();
}

bool LiveRender::take() {
  worker_.join();
  if (instance_ != nullptr) instance_->cleanup();
  instance_.reset();
  failure_ = resultFailure_;
  if (!resultOk_) {
    spareKnown_ = false; // the failed render left its buffers half written
    return false;
  }
  // The frames shown before keep their memory for the next render.
  std::swap(shown_, result_);
  std::swap(shownRaw_, resultRaw_);
  shownPixels_ = resultPixels_;
  // The spare buffers now hold the render before, which differs from this
  // one only where this one filtered, when it filtered a list of pixels; a
  // later edit brings them up to date there (else whole).
  std::swap(shownPixelList_, pendingPixels_);
  spareKnown_ = pendingPartial_;
  shownState_ = std::move(pendingState_);
  pendingState_.clear();
  shownSeconds_ = resultSeconds_;
  hasShown_ = true;
  return true;
}

void LiveRender::indexPixels() {
  indexed_ = true;
  const std::size_t count = input_.pixelCount();
  const auto add = [this](float value, std::size_t i) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::vector<std::uint32_t> &list = pixelsByValue_[bits];
    if (list.empty() || list.back() != i) list.push_back(static_cast<std::uint32_t>(i));
  };
  if (ranks_.empty()) {
    const float *special = input_.plane(0);
    for (std::size_t i = 0; i < count; ++i) add(special != nullptr ? special[i] : 0.0f, i);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t k = 0; k + 1 < ranks_.size(); k += 2) {
      if (ranks_[k + 1][i] > 0.0f) add(ranks_[k][i], i);
    }
  }
}

bool LiveRender::touchedPixels(const std::vector<std::string> &state,
                               std::vector<std::uint32_t> &pixels) {
  if (!hasShown_) return false;
  std::map<double, std::vector<std::string>> before, after;
  if (!storedLinesByValue(shownState_, before) || !storedLinesByValue(state, after)) return false;
  // The values whose entries changed: a stack edited, an entry switched,
  // added or removed. Which entry of a value applies is the module's
  // business; every pixel of the value is filtered again.
  std::vector<double> changed;
  for (const auto &[value, lines] : before) {
    const auto other = after.find(value);
    if (other == after.end() || other->second != lines) changed.push_back(value);
  }
  for (const auto &[value, lines] : after) {
    if (before.find(value) == before.end()) changed.push_back(value);
  }
  if (!indexed_) indexPixels();
  for (double value : changed) {
    const float single = static_cast<float>(value);
    if (static_cast<double>(single) != value) continue; // no pixel holds it
    std::uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    const auto found = pixelsByValue_.find(bits);
    if (found != pixelsByValue_.end()) {
      pixels.insert(pixels.end(), found->second.begin(), found->second.end());
    }
  }
  // A pixel of several ids comes once, and the pass goes in memory order.
  std::sort(pixels.begin(), pixels.end());
  pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
  // Past half the frame, the whole frame costs no more.
  return pixels.size() <= input_.pixelCount() / 2;
}

} // namespace qx
