// How the label sweeps of both commands are shared among the call's threads:
// the plan of an edge-phase sweep's parts, the queue parts take their turns
// from, the rows of one slice swept as a wavefront, and the part driver that
// runs them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "call_threads.h"
#include "pixel_blocks.h"

namespace core {

// The least pixels worth a part of a plain-phase sweep, in either command:
// a pixel's choice there costs about as much as a part's start.
constexpr std::size_t plain_share = 8192;
// Pixels a part of a plain-phase sweep takes at a time: whole blocks.
constexpr std::size_t plain_turn = 16 * block_pixels;

// The parts of a plain-phase sweep of `pixels` pixels.
inline int plain_parts(const call_threads& threads, std::size_t pixels) {
  return useful_parts(threads, pixels, plain_share);
}

// How an edge-phase sweep is shared: `parts` parts taking slices, or rows of
// one slice as a wavefront.
struct sweep_layout {
  int parts = 1;
  bool wavefront = false;
};

// The parts of an edge-phase sweep of a width x height x depth image for up
// to `most_parts` of the call's threads: slices of a volume, each swept on
// its own (the window stays in its slice); or rows of one slice as a
// wavefront, where the rows are long enough for parts `lag` columns apart to
// overlap.
inline sweep_layout plan_sweep_parts(const call_threads& threads, int most_parts, std::size_t width, std::size_t height,
                                     std::size_t depth, std::size_t lag) {
  const int most = std::min(most_parts, threads.count());
  if (most <= 1) return {1, false};
  if (depth > 1) return {std::min(most, useful_parts(threads, depth, 1)), false};
  const int parts =
      int(std::min<std::size_t>(std::size_t(std::min(most, useful_parts(threads, width, 2 * lag))), height));
  return {std::max(parts, 1), parts > 1};
}

// Items 0 .. count - 1 handed out `turn` at a time, in order, to whichever
// part asks next, so that a part slowed down by a busy machine leaves more to
// the others. What an item gives must not depend on the part that takes it.
class turn_queue {
 public:
  explicit turn_queue(std::size_t count, std::size_t turn = 1) : count_(count), turn_(turn) {}

  // The items of the next turn, or false once every item is taken.
  bool take(share& items) {
    const std::size_t first = next_.fetch_add(turn_, std::memory_order_relaxed);
    if (first >= count_) return false;
    items = share{first, std::min(count_, first + turn_)};
    return true;
  }

 private:
  std::atomic<std::size_t> next_{0};
  std::size_t count_, turn_;
};

// Rows of one slice swept side by side, row y by part y mod parts, each
// part's rows in order. Row y sweeps the columns below `end` only once row
// y - 1 has swept every column below end + lead (or its whole row). The
// lead, in columns, is each command's wavefront_lead: what makes each row
// read the other's labels as the raster order would have left them, which
// depends on how the command's sweep reads a window. Progress is published
// with release order and read with acquire order.
class row_wavefront {
 public:
  // For `rows` rows of `width` columns; 0 rows where the sweep is no wavefront.
  row_wavefront(std::size_t rows, std::size_t width, std::size_t lead) : finished_(rows), width_(width), lead_(lead) {}

  void wait_for_row_above(const run_progress& progress, std::size_t y, std::size_t end) const {
    if (y > 0) progress.wait_until(finished_[y - 1], std::min(width_, end + lead_));
  }
  void publish(const run_progress& progress, std::size_t y, std::size_t end) { progress.publish(finished_[y], end); }
  // The same inside a block, for the row below when it spins: wakes no
  // sleeper, which the publish at the block's end does.
  void publish_early(std::size_t y, std::size_t end) { finished_[y].store(end, std::memory_order_release); }

 private:
  std::vector<std::atomic<std::size_t>> finished_;  // per row, the columns swept so far
  std::size_t width_, lead_;
};

// The image an edge-phase sweep covers, and its command's wavefront_lead.
struct sweep_extent {
  std::size_t width, height, depth, lead;
};

// Runs an edge-phase sweep as `layout` shares it, for either command. One
// part sweeps the whole image in raster order: work.whole(progress).
// Several sweep the rows of one slice as a wavefront, row y by part y mod n:
// work.row(part, y, wave, progress); or take the slices of a volume from a
// queue: work.slice(part, z, progress). Part 0 hands each swept slice, in
// slice order, to work.swept(z) between its own slices, so that what follows
// a slice is not left until every slice is done; all of them before the run
// ends.
template <class Work>
void sweep_in_parts(call_threads& threads, const sweep_layout& layout, const sweep_extent& extent, Work& work) {
  if (layout.parts == 1) {
    threads.run(1, [&](int, int, run_progress& progress) { work.whole(progress); });
    return;
  }
  row_wavefront wave(layout.wavefront ? extent.height : 0, extent.width, extent.lead);
  turn_queue slices(extent.depth);
  std::vector<std::atomic<std::size_t>> swept(layout.wavefront ? 0 : extent.depth);
  std::size_t handed_on = 0;
  const auto hand_on_swept = [&](const run_progress& progress, bool wait) {
    for (; handed_on < extent.depth; ++handed_on) {
      if (wait)
        progress.wait_until(swept[handed_on], 1);
      else if (swept[handed_on].load(std::memory_order_acquire) == 0)
        break;
      work.swept(handed_on);
    }
  };
  threads.run(layout.parts, [&](int part, int part_count, run_progress& progress) {
    if (layout.wavefront) {
      for (std::size_t y = std::size_t(part); y < extent.height && !progress.aborted(); y += std::size_t(part_count))
        work.row(part, y, wave, progress);
      return;
    }
    for (share taken; !progress.aborted() && slices.take(taken);) {
      work.slice(part, taken.begin, progress);
      progress.publish(swept[taken.begin], 1);
      if (part == 0) hand_on_swept(progress, false);
    }
    if (part == 0) hand_on_swept(progress, true);
  });
}

}  // namespace core
