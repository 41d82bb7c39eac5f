// The background render of the render view.
#include "live_render.h"

#include <chrono>
#include <exception>
#include <utility>

#include "renderer.h"

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
  pendingState_ = state;
  done_ = false;
  resultOk_ = false;
  resultFailure_.clear();
  const PixelFilterInstance *instance = instance_.get();
  worker_ = std::thread([this, instance, start] {
    try {
      RenderOptions options;
      options.threads = threads_;
      options.progress = nullptr;
      const PixelEvaluator evaluate = [&](const HostPixelAccess &access) {
        if (cancel_.load(std::memory_order_relaxed)) throw Stopped{};
        instance->evaluate(access);
      };
      Frame out;
      if (ranks_.empty()) {
        renderInto(input_, out, evaluate, options);
      } else {
        std::vector<RankPlanes> planes;
        for (std::size_t k = 0; k + 1 < ranks_.size(); k += 2) {
          planes.push_back({ranks_[k].data(), ranks_[k + 1].data()});
        }
        renderCoverage(input_, planes, out, evaluate, options);
      }
      if (finish_) finish_(input_, out);
      result_ = std::move(out);
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
  if (!resultOk_) return false;
  shown_ = std::move(result_);
  result_ = Frame();
  shownState_ = std::move(pendingState_);
  pendingState_.clear();
  shownSeconds_ = resultSeconds_;
  hasShown_ = true;
  return true;
}

} // namespace qx
