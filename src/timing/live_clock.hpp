#pragma once
// The sample clock of a live line: the recording's fit (sample_time_fit.hpp)
// run over a trailing window of the packets as they come, each packet given
// out once a stated delay of the line has come after it. Plain C++.
//
// Every `kRefitNs` of receive time the window (the packets of the last
// `kWindowNs` at least, and of `kLongestWindowNs` at most) is fitted anew. A packet is given out, in the order
// pushed, with its time on the newest fit and the packets of its kind that fit
// finds missing just before it. The times given out per kind never jump: each
// goes on from the one before by the fit's step, and where a refit moved the
// line the times move onto it by at most `kSlew` periods a packet. They rise
// strictly and never pass the packet's own receive time.
//
// A clock step (a receive time earlier than the one before; with the boot
// clock beside the receive times, a move of a second or more apart from it;
// else, without a clock that never steps, a jump of over a second with no
// byte passed over)
// gives out everything held, starts the window anew and goes on, per kind,
// a period after the last time given out, as the recording's fit moves an
// epoch to go on from the one before.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "timing/sample_time_fit.hpp"

namespace brimlet::columns {

class LiveClock {
public:
    // The window keeps the last kWindowNs and never spans kLongestWindowNs,
    // under the fit's longest piece (30 s), so that the newest packets lie
    // in one piece sloped by all of it, never in a short last one. Where the
    // newest fit takes longer pieces (times on the USB frames, whose pieces
    // hold several wraps of the sample phase), the window grows with them,
    // to kLongestUsbWindowNs at most, kMarginNs under the shortest piece and
    // keeping all but the last kLongestWindowNs - kWindowNs of it.
    static constexpr std::int64_t kWindowNs = 20'000'000'000;
    static constexpr std::int64_t kLongestWindowNs = 28'000'000'000;
    static constexpr std::int64_t kLongestUsbWindowNs = 120'000'000'000;
    static constexpr std::int64_t kMarginNs = 2'000'000'000;
    static constexpr std::int64_t kRefitNs = 250'000'000;
    static constexpr double kSlew = 0.02;

    // Kinds are codes below `kinds` (others keep their receive time and
    // miss nothing); rows are held `delay_ns` of receive time. `steady`
    // when the receive times come from a clock that never steps.
    LiveClock(std::size_t kinds, std::int64_t delay_ns, bool steady = false);

    // Takes packets in stream order: kind code, receive time (ns), bytes
    // passed over just before each, and, when known, the stream offset after
    // each frame (empty: the frames' lengths are not known, and the bytes
    // passed over say only where packets may be missing), and, when known,
    // the boot clock (ns) read with each receive time (empty: not known).
    // Then gives out what `delay` of the line has come after. Throws
    // std::bad_alloc.
    void push(std::span<const std::uint8_t> kind, std::span<const std::int64_t> time,
              std::span<const std::uint32_t> skipped, std::span<const std::uint64_t> end = {},
              std::span<const std::int64_t> boot = {});
    // Gives out the rows received `delay` or longer before `now` (ns), for a
    // line gone quiet; without `now`, every row held.
    void settle(std::optional<std::int64_t> now);

    // Rows given out and not yet taken.
    std::size_t ready() const { return out_sample_.size(); }
    // Moves the first `sample.size()` rows given out (at most `ready()`)
    // into `sample` and `missing`.
    void take(std::span<std::int64_t> sample, std::span<std::uint16_t> missing);
    // Receive time of the first row held, if any.
    std::optional<std::int64_t> first_held() const;
    // What was found for kind `code` so far: packets and gaps of the rows
    // given out, rate and phase from the newest fit, the clock's steps.
    KindFit stats(std::size_t code) const;

private:
    struct Kind {
        std::optional<std::size_t> last_row;  // window row of the last given out
        std::int64_t last_out = 0;
        bool any_out = false;
        bool rejoin = false;  // after a clock step: go on from last_out
        std::int64_t shift = 0;  // added to the fit's times since the last clock step
        double period = 0;       // of the fit that gave the last one out
        KindFit totals;       // packets, gaps and steps given out
    };

    // Whether the wall clock stepped before a row received at `t`, with the
    // boot clock at `boot` where known and `skipped` bytes passed over.
    bool stepped(std::int64_t t, std::optional<std::int64_t> boot, std::uint32_t skipped) const;
    void refit();
    void release(std::size_t upto);
    void give(std::size_t row);
    void clock_step();
    void trim();
    // The longest the window may span, from the newest fit's pieces.
    std::int64_t longest_window() const;

    std::size_t kinds_;
    std::int64_t delay_;
    bool steady_;
    // The window, oldest row first: rows before `released_` are out.
    std::vector<std::uint8_t> kind_;
    std::vector<std::int64_t> time_;
    std::vector<std::uint32_t> skipped_;
    std::vector<std::uint64_t> end_;
    std::size_t released_ = 0;
    std::uint64_t stream_end_ = 0;
    // The newest fit, of the window's first `fitted_` rows.
    std::vector<std::int64_t> fit_sample_;
    std::vector<std::uint16_t> fit_missing_;
    std::vector<KindFit> fits_;
    std::size_t fitted_ = 0;
    std::int64_t fitted_at_ = 0;
    std::optional<std::int64_t> newest_;
    std::optional<std::int64_t> boot_at_newest_;  // the boot clock of the newest row, where known
    bool told_steps_ = false;  // every row in the window came with the boot clock
    std::vector<Kind> state_;
    std::vector<std::int64_t> out_sample_;
    std::vector<std::uint16_t> out_missing_;
};

}  // namespace brimlet::columns
