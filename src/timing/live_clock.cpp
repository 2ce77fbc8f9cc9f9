#include "timing/live_clock.hpp"

#include <algorithm>
#include <cmath>

namespace brimlet::columns {

namespace {

// Rows passed out of the window are dropped once this many gather, so that
// dropping costs little per row.
constexpr std::size_t kDropAtOnce = 4096;

template <class T>
void drop_front(std::vector<T>& v, std::size_t count) {
    v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(count, v.size())));
}

}  // namespace

LiveClock::LiveClock(std::size_t kinds, std::int64_t delay_ns, bool steady)
    : kinds_(kinds), delay_(delay_ns), steady_(steady), state_(kinds) {}

void LiveClock::push(std::span<const std::uint8_t> kind, std::span<const std::int64_t> time,
                     std::span<const std::uint32_t> skipped, std::span<const std::uint64_t> end,
                     std::span<const std::int64_t> boot) {
    for (std::size_t i = 0; i < kind.size(); ++i) {
        const std::int64_t t = time[i];
        const std::optional<std::int64_t> b = boot.empty() ? std::nullopt : std::optional(boot[i]);
        if (newest_ && stepped(t, b, skipped[i])) clock_step();
        if (kind_.empty()) fitted_at_ = t;
        // The window is fitted as steady while every row in it came with
        // the boot clock: a step would have started it anew.
        if (kind_.empty()) told_steps_ = true;
        told_steps_ = told_steps_ && b.has_value();
        boot_at_newest_ = b;
        // Without the frames' ends, a frame counts one byte: a lost frame is
        // then bounded by nothing but the floor's step.
        stream_end_ = end.empty() ? stream_end_ + skipped[i] + 1 : end[i];
        kind_.push_back(kind[i]);
        time_.push_back(t);
        skipped_.push_back(skipped[i]);
        end_.push_back(stream_end_);
        if (!newest_ || t > *newest_) newest_ = t;
    }
    if (!newest_) return;
    if (*newest_ - fitted_at_ >= kRefitNs) refit();
    settle(*newest_);
}

bool LiveClock::stepped(std::int64_t t, std::optional<std::int64_t> boot, std::uint32_t skipped) const {
    if (t < *newest_) return true;
    // Where both clocks are known, the wall clock stepped only where it
    // moved apart from the boot clock; a silence is then a pause however long.
    if (boot && boot_at_newest_) {
        const std::int64_t apart = (t - *newest_) - (*boot - *boot_at_newest_);
        return apart >= kClockJumpNs || apart <= -kClockJumpNs;
    }
    return !steady_ && t - *newest_ > kClockJumpNs && skipped == 0;
}

void LiveClock::settle(std::optional<std::int64_t> now) {
    std::size_t upto = kind_.size();
    if (now) {
        upto = released_;
        while (upto < kind_.size() && time_[upto] <= *now - delay_) ++upto;
    }
    release(upto);
    trim();
}

void LiveClock::take(std::span<std::int64_t> sample, std::span<std::uint16_t> missing) {
    const std::size_t n = std::min(sample.size(), out_sample_.size());
    std::copy_n(out_sample_.begin(), n, sample.begin());
    std::copy_n(out_missing_.begin(), n, missing.begin());
    drop_front(out_sample_, n);
    drop_front(out_missing_, n);
}

std::optional<std::int64_t> LiveClock::first_held() const {
    if (released_ < time_.size()) return time_[released_];
    return std::nullopt;
}

KindFit LiveClock::stats(std::size_t code) const {
    if (code >= state_.size()) return {};
    KindFit fit = state_[code].totals;
    if (code < fits_.size()) {
        fit.rate = fits_[code].rate;
        fit.phase_hidden = fits_[code].phase_hidden;
    }
    return fit;
}

void LiveClock::refit() {
    const std::size_t n = kind_.size();
    fit_sample_.resize(n);
    fit_missing_.resize(n);
    const PacketTimes packets{kind_, time_, skipped_, end_};
    fits_ = sample_times(packets, kinds_, true, fit_sample_, fit_missing_, steady_ || told_steps_);
    fitted_ = n;
    fitted_at_ = newest_.value_or(0);
}

void LiveClock::release(std::size_t upto) {
    if (upto <= released_) return;
    if (upto > fitted_) refit();
    out_sample_.reserve(out_sample_.size() + upto - released_);
    out_missing_.reserve(out_missing_.size() + upto - released_);
    for (; released_ < upto; ++released_) give(released_);
}

void LiveClock::give(std::size_t row) {
    const std::uint8_t code = kind_[row];
    const std::int64_t t = time_[row];
    if (code >= kinds_) {
        out_sample_.push_back(t);
        out_missing_.push_back(0);
        return;
    }
    Kind& k = state_[code];
    const std::int64_t fitted = fit_sample_[row];
    const std::uint16_t missing = fit_missing_[row];
    const double rate = code < fits_.size() ? fits_[code].rate : 0;
    // Offsets from the fit's time in ns, small enough to be exact as doubles.
    double off = 0;
    if (k.any_out && k.rejoin) {
        // After a clock step: on from the last time given out.
        k.shift = k.last_out + std::llround(k.period * (1.0 + missing)) - fitted;
        k.rejoin = false;
    } else if (k.any_out && k.last_row) {
        // Where the newest fit puts the last one given out, and how far that
        // one was from it: the distance shrinks by at most kSlew periods a
        // packet, so the times keep the fit's pace and reach its line.
        const auto before = static_cast<double>(k.last_out - (fit_sample_[*k.last_row] + k.shift));
        const double allowed = kSlew * (rate > 0 ? 1e9 / rate : k.period) * (1.0 + missing);
        off = before > 0 ? std::max(before - allowed, 0.0) : std::min(before + allowed, 0.0);
    }
    const std::int64_t value = fitted + k.shift + static_cast<std::int64_t>(std::llround(off));
    auto out = std::min(value, t);
    if (k.any_out && out <= k.last_out) out = k.last_out + 1;
    if (rate > 0) k.period = 1e9 / rate;
    k.last_out = out;
    k.last_row = row;
    k.any_out = true;
    KindFit& totals = k.totals;
    ++totals.packets;
    if (missing > 0) {
        ++totals.gaps;
        totals.missing += missing;
        totals.largest_gap = std::max<std::uint64_t>(totals.largest_gap, missing);
    }
    out_sample_.push_back(out);
    out_missing_.push_back(missing);
}

void LiveClock::clock_step() {
    settle(std::nullopt);
    for (Kind& k : state_) {
        if (!k.any_out) continue;
        k.rejoin = true;
        k.last_row.reset();
        ++k.totals.clock_steps;
    }
    kind_.clear();
    time_.clear();
    skipped_.clear();
    end_.clear();
    fit_sample_.clear();
    fit_missing_.clear();
    released_ = fitted_ = 0;
    newest_.reset();
}

std::int64_t LiveClock::longest_window() const {
    std::int64_t piece = 0;
    for (const KindFit& fit : fits_) {
        if (fit.piece_ns > 0) piece = piece > 0 ? std::min(piece, fit.piece_ns) : fit.piece_ns;
    }
    return std::clamp(piece - kMarginNs, kLongestWindowNs, kLongestUsbWindowNs);
}

void LiveClock::trim() {
    if (!newest_) return;
    const std::int64_t longest = longest_window();
    const std::int64_t keep = longest - (kLongestWindowNs - kWindowNs);
    std::size_t drop = 0;
    while (drop < released_ && time_[drop] < *newest_ - keep) ++drop;
    // Before the window grows to a piece of the fit, whatever the rate: the
    // newest packets are then fitted with the whole window's slope.
    const bool too_long = *newest_ - time_[0] > longest;
    if (drop == 0 || (drop < kDropAtOnce && !too_long)) return;
    drop_front(kind_, drop);
    drop_front(time_, drop);
    drop_front(skipped_, drop);
    drop_front(end_, drop);
    drop_front(fit_sample_, drop);
    drop_front(fit_missing_, drop);
    released_ -= drop;
    fitted_ -= drop;
    for (Kind& k : state_) {
        if (k.last_row && *k.last_row < drop) {
            k.last_row.reset();
        } else if (k.last_row) {
            *k.last_row -= drop;
        }
    }
}

}  // namespace brimlet::columns
