// The render behind the render view: a frame filtered in the background
// through an instance made from the edited instance's saved state, started
// again from the top when the state changes before it is done. After an
// edit, only the pixels of the special-buffer values whose stored stacks
// changed are filtered again, from their original samples; the rest keep
// the last render's result, which a full render would give them anyway.
//
// Every call into the module but the per-pixel evaluate happens on the
// thread that calls request() and collect() (the window's): the render's
// instance is created, loaded and destroyed there, so the module's own
// bookkeeping is never touched from two threads at once. Only evaluate runs
// on the render threads, on an instance nothing else uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "frames/frame.h"
#include "loader/filter.h"

namespace qx {

class LiveRender {
public:
  // What happens to a finished render before it is shown, given the input
  // (the colour's alpha put back, say). Runs on the render thread.
  using Finish = std::function<void(const Frame &in, Frame &out)>;

  LiveRender(std::shared_ptr<const PixelFilter> filter, Frame input, unsigned int threads,
             Finish finish = nullptr);
  // Stops a render under way and waits for its threads.
  ~LiveRender();
  LiveRender(const LiveRender &) = delete;
  LiveRender &operator=(const LiveRender &) = delete;

  const Frame &input() const { return input_; }

  // Soft edges: the ranks of an object-id layer (id, coverage, id,
  // coverage, ... planes of the input's size) give each pixel its ids, as
  // render --cryptomatte does. Set before the first request.
  void setRanks(std::vector<std::vector<float>> ranks) { ranks_ = std::move(ranks); }

  // Renders the frame for `state`, the lines an instance saves, unless those
  // are the lines of the render shown or under way: then it returns false.
  // A render under way for other lines is stopped first; its threads end at
  // their next pixel. Loading the lines happens here, before the threads
  // start, so a restart keeps the caller waiting for no more than that.
  bool request(const std::vector<std::string> &state);

  // Whether a render is under way (started and not yet collected).
  bool busy() const { return worker_.joinable(); }
  // Takes a render that has finished: true when one finished since the last
  // call, which is then the one shown. Never waits.
  bool collect();
  // Waits for the render under way, then collects it.
  void wait();

  // The last render collected; hasShown() is false before the first.
  bool hasShown() const { return hasShown_; }
  const Frame &shown() const { return finish_ ? shown_ : shownRaw_; }
  // The pixels the last render filtered: all of them, or those of the
  // values an edit touched.
  std::size_t shownPixels() const { return shownPixels_; }
  // Seconds the shown render took, from request to finish.
  double shownSeconds() const { return shownSeconds_; }
  // What the last render threw, as text; empty when it finished.
  const std::string &failure() const { return failure_; }

private:
  void stop();
  // The pixels whose values' stored stacks differ between the shown render's
  // lines and `state`, in order; false when the whole frame must be
  // filtered (nothing shown yet, or lines that do not fit).
  bool touchedPixels(const std::vector<std::string> &state, std::vector<std::uint32_t> &pixels);
  void indexPixels();
  // Joins the finished render and makes it the one shown when it succeeded.
  bool take();

  std::shared_ptr<const PixelFilter> filter_;
  Frame input_;
  std::vector<std::vector<float>> ranks_;
  unsigned int threads_;
  Finish finish_;

  // The render under way.
  std::unique_ptr<PixelFilterInstance> instance_;
  std::vector<std::string> pendingState_;
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> done_{false};
  Frame result_, resultRaw_;
  std::vector<std::uint32_t> pendingPixels_; // the pixels it filters, when partial
  bool pendingPartial_ = false;
  std::size_t resultPixels_ = 0;
  bool resultOk_ = false;
  std::string resultFailure_;
  double resultSeconds_ = 0.0;

  // The render shown.
  bool hasShown_ = false;
  Frame shown_;    // after finish_
  Frame shownRaw_; // before it: what a partial render starts from
  std::size_t shownPixels_ = 0;
  std::vector<std::uint32_t> shownPixelList_; // the pixels it filtered, when partial
  // Whether the spare buffers (resultRaw_) hold the render before the one
  // shown, so that a partial render brings them up to date where the shown
  // one filtered rather than whole.
  bool spareKnown_ = false;
  // Each value's pixels (by the value's float bits): the special buffer's,
  // or every id that covers a pixel; made on the first partial render.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> pixelsByValue_;
  bool indexed_ = false;
  std::vector<std::string> shownState_;
  double shownSeconds_ = 0.0;
  std::string failure_;
};

} // namespace qx
