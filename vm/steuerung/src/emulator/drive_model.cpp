#include "drive_model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "host_files.h"

namespace drive {

namespace {

constexpr double EPSILON = 1e-9;

double sign(double v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }

// The lagged position at the end of a phase of length `tau` that began with lagged
// position `x0`: the first-order lag x' = (p - x)/T of p(t) = p0 + v0 t + a t^2/2 solves to
// x = q(t) + (x0 - q(0)) e^(-t/T) with q = p - T p' + T^2 p''.
double lag_after(double tau, double p0, double v0, double a, double x0, double lag_s) {
    const double p = p0 + v0 * tau + a * tau * tau / 2;
    if (lag_s <= 0) return p;
    const double q = p - lag_s * (v0 + a * tau) + lag_s * lag_s * a;
    const double q0 = p0 - lag_s * v0 + lag_s * lag_s * a;
    // Long after its start a phase's transient is below any count (and exp's underflow is slow).
    const double decay = tau > 50 * lag_s ? 0 : std::exp(-tau / lag_s);
    return q + (x0 - q0) * decay;
}

// Appends phases one after the other, carrying position, speed and lagged position.
struct builder {
    profile out;
    double t, p, v, x;
    builder(double t0, double p0, double v0, double x0, double lag_s) : t(t0), p(p0), v(v0), x(x0) {
        out.lag_s = lag_s;
    }
    void push(double a, double duration) {
        if (duration <= EPSILON) return;
        out.phases[out.count++] = {t, p, v, a, x};
        x = lag_after(duration, p, v, a, x, out.lag_s);
        p += v * duration + a * duration * duration / 2;
        v += a * duration;
        t += duration;
    }
    profile rest(double at) {
        out.phases[out.count++] = {t, at, 0, 0, x};
        return out;
    }
};

double round_to_int(double v) {
    return std::clamp(std::round(v), static_cast<double>(INT32_MIN),
                      static_cast<double>(INT32_MAX));
}

s32 counts(double v) { return static_cast<s32>(round_to_int(v)); }

} // namespace

profile::point profile::at(double t) const {
    int i = count - 1;
    while (i > 0 && phases[i].t0 > t) --i;
    const phase& ph = phases[i];
    const double tau = std::max(0.0, t - ph.t0);
    return {ph.p0 + ph.v0 * tau + ph.a * tau * tau / 2, ph.v0 + ph.a * tau, ph.a,
            lag_after(tau, ph.p0, ph.v0, ph.a, ph.x0, lag_s)};
}

profile plan_stop(double t0, double p0, double v0, double x0, double acceleration, double lag_s,
                  double min_speed) {
    builder b(t0, p0, v0, x0, lag_s);
    if (acceleration <= 0) return b.rest(p0);
    // Down to the start/stop speed, from there to rest at once.
    b.push(-sign(v0) * acceleration, std::max(0.0, std::fabs(v0) - min_speed) / acceleration);
    return b.rest(b.p);
}

profile plan_move(double t0, double p0, double v0, double x0, double target, double speed,
                  double acceleration, double lag_s, double min_speed) {
    if (speed <= 0 || acceleration <= 0)
        return plan_stop(t0, p0, v0, x0, acceleration, lag_s, min_speed);
    builder b(t0, p0, v0, x0, lag_s);
    const double a = acceleration;
    const double w = std::clamp(min_speed, 0.0, speed); // start/stop speed
    // Moving away from the target, or too fast to stop before it: brake to standstill first
    // (down to the start/stop speed, then at once).
    double d = target - b.p;
    const double u0 = std::fabs(b.v);
    if (b.v != 0 && (b.v * d < 0 || (u0 * u0 - std::min(u0, w) * std::min(u0, w)) / (2 * a) >
                                        std::fabs(d) + EPSILON)) {
        b.push(-sign(b.v) * a, std::max(0.0, u0 - w) / a);
        b.v = 0;
        d = target - b.p;
    }
    const double s = sign(d);
    if (s == 0) return b.rest(target);
    // From standstill up to the start/stop speed at once; an axis already moving speeds up
    // from where it is.
    double u = std::fabs(b.v);
    if (u == 0 && w > 0) {
        u = w;
        b.v = s * w;
    }
    if (u > speed) { // faster than the new speed: down to it first
        b.push(-s * a, (u - speed) / a);
        u = speed;
    }
    const double distance = std::fabs(target - b.p);
    const double speeding_up = (speed * speed - u * u) / (2 * a);
    const double braking = (speed * speed - w * w) / (2 * a);
    if (u < w && u * u + 2 * a * distance <= w * w) { // below the stop speed all the way
        b.push(s * a, (std::sqrt(u * u + 2 * a * distance) - u) / a);
        return b.rest(target);
    }
    if (speeding_up + braking <= distance) { // trapezoid
        b.push(s * a, (speed - u) / a);
        b.push(0, (distance - speeding_up - braking) / speed);
        b.push(-s * a, (speed - w) / a);
    } else { // triangle: the peak where speeding up and braking meet
        const double peak = std::sqrt(std::max(u * u, a * distance + (u * u + w * w) / 2));
        b.push(s * a, (peak - u) / a);
        b.push(-s * a, (peak - w) / a);
    }
    return b.rest(target);
}

model::model(description d) : d_(std::move(d)) {
    set_.max_speed = d_.max_speed;
    set_.acceleration = d_.max_acceleration;
    set_.current = d_.current_limit_ma;
    set_.current_reduction = d_.standstill_current_ma;
    set_.target = d_.start_position;
    const double lag_s = d_.lag_ms / 1000.0;
    demand_ = plan_stop(0, d_.start_position, 0, d_.start_position, 0, lag_s);
    axis_ = demand_;
}

double model::acceleration_available() const {
    if (blocked_) return 0;
    double a = set_.acceleration;
    if (d_.ma_per_acceleration > 0) {
        const double spare = static_cast<double>(set_.current) - d_.friction_ma - load_ma_;
        a = std::min(a, spare * 1000.0 / d_.ma_per_acceleration);
    }
    return a;
}

// Where the mode sends the axis from demand position `from`: the target in position mode,
// the end of travel in the set direction in velocity mode; within the software limits, the
// limit switches and any switch an event closed.
double model::target_of_mode(double from) {
    double lo = std::max<double>(d_.min_position, d_.lower_limit_switch_position + offset_);
    double hi = std::min<double>(d_.max_position, d_.upper_limit_switch_position + offset_);
    if (lower_switch_forced_) lo = std::max(lo, std::min(from, hi));
    if (upper_switch_forced_) hi = std::min(hi, std::max(from, lo));
    if (set_.mode == PROFILE_VELOCITY_MODE) {
        clamped_ = true;
        return set_.direction < 0 ? lo : hi;
    }
    const double target = std::clamp(static_cast<double>(set_.target), lo, hi);
    clamped_ = target != set_.target;
    return target;
}

void model::replan(double t) {
    if (t >= enabled_until_) return; // disabled: the axis rests where it stopped
    const profile::point pd = demand_.at(t);
    const profile::point pa = axis_.at(t);
    const double lag_s = d_.lag_ms / 1000.0;
    if (enabled_until_ < FOREVER) { // stopping
        demand_ = plan_stop(t, pd.p, pd.v, pd.x, set_.acceleration, lag_s, set_.min_speed);
        axis_ = plan_stop(t, pa.p, pa.v, pa.x, acceleration_available(), lag_s, set_.min_speed);
        enabled_until_ = std::max({t, demand_.end(), axis_.end()});
        return;
    }
    const double target = target_of_mode(pd.p);
    demand_ = plan_move(t, pd.p, pd.v, pd.x, target, set_.max_speed, set_.acceleration, lag_s,
                        set_.min_speed);
    axis_ = plan_move(t, pa.p, pa.v, pa.x, target, set_.max_speed, acceleration_available(), lag_s,
                      set_.min_speed);
}

void model::halt(double t, u32 reason) {
    faults_ |= reason;
    if (reason == STATUS_LIMIT) { // stops where it is and stays enabled
        const double lag_s = d_.lag_ms / 1000.0;
        const profile::point pd = demand_.at(t);
        const profile::point pa = axis_.at(t);
        demand_ = plan_stop(t, pd.p, pd.v, pd.x, set_.acceleration, lag_s, set_.min_speed);
        axis_ = plan_stop(t, pa.p, pa.v, pa.x, acceleration_available(), lag_s, set_.min_speed);
        return;
    }
    if (t >= enabled_until_) return;
    enabled_until_ = t + EPSILON; // finite: replan brakes and sets when the axis is off
    replan(t);
}

void model::apply(const event& e, double t) {
    const profile::point pa = axis_.at(t);
    switch (e.what) {
    case event::kind::load:
        load_ma_ = e.load_ma;
        replan(t);
        break;
    case event::kind::block:
        blocked_ = true;
        axis_ = plan_stop(t, pa.p, pa.v, pa.x, 0, d_.lag_ms / 1000.0);
        break;
    case event::kind::encoder_fault:
        encoder_frozen_ = pa.x;
        halt(t, STATUS_FAULT);
        break;
    case event::kind::lower_limit_switch:
    case event::kind::upper_limit_switch: {
        const bool lower = e.what == event::kind::lower_limit_switch;
        (lower ? lower_switch_forced_ : upper_switch_forced_) = true;
        const double v = demand_.at(t).v;
        if (lower ? v < 0 : v > 0) halt(t, STATUS_LIMIT);
        break;
    }
    }
}

// Finds the first time in (from, to] where the actual position trails the demand by more
// than the limit, and stops the axis there. The error between two profiles of constant
// accelerations is largest at their phase boundaries or where their speeds are equal; those
// are the points looked at, so the answer does not depend on when the program asks.
void model::check_following_error(double from, double to) {
    if (to <= from || (faults_ & (STATUS_FOLLOWING_ERROR | STATUS_FAULT)) || from >= enabled_until_)
        return;
    double points[40];
    int n = 0;
    auto add = [&](double t) {
        if (n < 38) points[n++] = t;
    };
    demand_.boundaries(from, to, add);
    axis_.boundaries(from, to, add);
    add(to);
    std::sort(points, points + n);
    // Where the speeds meet inside each stretch between two boundaries.
    const int boundaries = n;
    double previous = from;
    for (int i = 0; i < boundaries; ++i) {
        const double mid = (previous + points[i]) / 2;
        const profile::point d = demand_.at(mid);
        const profile::point a = axis_.at(mid);
        if (d.a != a.a) {
            const double meet = mid + (a.v - d.v) / (d.a - a.a);
            if (meet > previous && meet < points[i] && n < 40) points[n++] = meet;
        }
        previous = points[i];
    }
    std::sort(points, points + n);
    const double limit = d_.following_error_limit;
    auto error = [&](double t) { return std::fabs(demand_.at(t).p - axis_.at(t).x); };
    previous = from;
    for (int i = 0; i < n; ++i) {
        if (error(points[i]) > limit) {
            double lo = previous, hi = points[i];
            for (int k = 0; k < 60; ++k) {
                const double mid = (lo + hi) / 2;
                (error(mid) > limit ? hi : lo) = mid;
            }
            halt(hi, STATUS_FOLLOWING_ERROR);
            return;
        }
        previous = points[i];
    }
}

void model::advance(double t) {
    const std::vector<event>& events = d_.events;
    while (next_event_ < events.size() &&
           static_cast<double>(events[next_event_].at_ms) / 1000.0 <= t) {
        const double at = std::max(now_, static_cast<double>(events[next_event_].at_ms) / 1000.0);
        check_following_error(now_, at);
        now_ = at;
        apply(events[next_event_++], at);
    }
    check_following_error(now_, t);
    now_ = std::max(now_, t);
}

bool model::moving(double t) const { return t < demand_.end() || t < axis_.end(); }

namespace {
double seconds(s64 ms) { return static_cast<double>(ms) / 1000.0; }
} // namespace

void model::start_drive(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    if (faults_ & STATUS_FAULT) return; // an encoder fault keeps the axis off
    faults_ &= ~(STATUS_FOLLOWING_ERROR | STATUS_LIMIT);
    enabled_until_ = FOREVER;
    replan(t);
}

void model::stop_drive(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    if (t >= enabled_until_ || enabled_until_ < FOREVER) return;
    enabled_until_ = t + EPSILON; // finite: replan brakes and sets when the axis is off
    replan(t);
}

void model::set_mode(s64 ms, s32 mode) {
    advance(seconds(ms));
    set_.mode = mode;
    replan(seconds(ms));
}

void model::set_max_speed(s64 ms, s32 speed) {
    advance(seconds(ms));
    set_.max_speed = std::clamp(speed, 0, d_.max_speed);
    set_.min_speed = std::min(set_.min_speed, set_.max_speed);
    replan(seconds(ms));
}

void model::set_min_speed(s64 ms, s32 speed) {
    advance(seconds(ms));
    const s32 before = set_.min_speed;
    set_.min_speed = std::clamp(speed, 0, set_.max_speed);
    if (set_.min_speed != before) replan(seconds(ms));
}

void model::set_acceleration(s64 ms, s32 acceleration) {
    advance(seconds(ms));
    set_.acceleration = std::clamp(acceleration, 1, d_.max_acceleration);
    replan(seconds(ms));
}

void model::set_direction(s64 ms, s32 direction) {
    advance(seconds(ms));
    set_.direction = direction;
    faults_ &= ~STATUS_LIMIT;
    if (set_.mode == PROFILE_VELOCITY_MODE) replan(seconds(ms));
}

void model::set_target(s64 ms, s32 target) {
    advance(seconds(ms));
    set_.target = target;
    faults_ &= ~STATUS_LIMIT;
    if (set_.mode != PROFILE_VELOCITY_MODE) replan(seconds(ms));
}

bool model::set_position(s64 ms, s32 position) {
    const double t = seconds(ms);
    advance(t);
    if (moving(t)) return false;
    offset_ += position - axis_.at(t).p;
    demand_ = plan_stop(t, position, 0, position, 0, d_.lag_ms / 1000.0);
    axis_ = demand_;
    set_.target = position;
    encoder_frozen_ = position;
    return true;
}

void model::set_current(s64 ms, s32 ma) {
    advance(seconds(ms));
    set_.current = std::clamp(ma, 0, d_.current_limit_ma);
    replan(seconds(ms));
}

void model::set_current_reduction(s64 ms, s32 ma) {
    advance(seconds(ms));
    set_.current_reduction = std::clamp(ma, 0, d_.current_limit_ma);
}

s32 model::encoder_position(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    return counts((faults_ & STATUS_FAULT) ? encoder_frozen_ : axis_.at(t).x);
}

s32 model::demand_position(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    return counts(demand_.at(t).p);
}

s32 model::current(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    if (t >= enabled_until_) return 0;
    const profile::point a = axis_.at(t);
    if (blocked_ && t < demand_.end()) return set_.current; // pushing against the block
    if (a.v == 0 && a.a == 0) return std::max(set_.current_reduction, load_ma_);
    const double ma = d_.friction_ma + load_ma_ + std::fabs(a.a) * d_.ma_per_acceleration / 1000.0;
    return counts(std::min(ma, static_cast<double>(set_.current)));
}

u32 model::status(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    u32 word = faults_;
    const bool enabled = t < enabled_until_;
    if (enabled) word |= STATUS_ENABLED;
    if (moving(t)) word |= STATUS_MOVING;
    const profile::point d = demand_.at(t);
    if (set_.mode == PROFILE_VELOCITY_MODE) {
        if (enabled_until_ == FOREVER && set_.max_speed > 0 &&
            std::fabs(std::fabs(d.v) - set_.max_speed) < 1e-6)
            word |= STATUS_TARGET_REACHED;
    } else if (t >= demand_.end() && counts(d.p) == set_.target &&
               std::fabs(axis_.at(t).x - set_.target) <= d_.position_window) {
        word |= STATUS_TARGET_REACHED;
    }
    if (enabled && clamped_ && t >= demand_.end()) word |= STATUS_LIMIT;
    return word;
}

s32 model::digital_input(s64 ms) {
    const double t = seconds(ms);
    advance(t);
    const double x = std::round(axis_.at(t).x) - offset_; // where the switches are
    u32 bits = 0;
    if (x <= d_.home_switch_position) bits |= 1u << d_.home_switch_bit;
    if (x <= d_.lower_limit_switch_position || lower_switch_forced_)
        bits |= 1u << d_.lower_limit_switch_bit;
    if (x >= d_.upper_limit_switch_position || upper_switch_forced_)
        bits |= 1u << d_.upper_limit_switch_bit;
    return static_cast<s32>(bits);
}

snapshot model::state(s64 ms) {
    const u32 word = status(ms);
    const double t = seconds(ms);
    return {demand_position(ms), encoder_position(ms), counts(axis_.at(t).v), current(ms), word};
}

// The data-set file: one line per saved slot, "slot min_speed max_speed acceleration target
// mode current_reduction current direction".
namespace {
constexpr s32 settings::*setting_fields[] = {
    &settings::min_speed, &settings::max_speed, &settings::acceleration,
    &settings::target,    &settings::mode,      &settings::current_reduction,
    &settings::current,   &settings::direction,
};
constexpr s32 MAX_DATA_SET = 255;
} // namespace

bool model::load_data_set(s64 ms, s32 slot, std::string& problem) {
    advance(seconds(ms));
    if (slot < 0 || slot > MAX_DATA_SET) {
        problem = "data set " + std::to_string(slot) + " is outside 0 to 255";
        return false;
    }
    const auto found = data_sets_.find(slot);
    if (found == data_sets_.end()) {
        problem = "data set " + std::to_string(slot) + " was never saved";
        return false;
    }
    // Clamped as the Set functions clamp: the file may come from another description.
    set_ = found->second;
    set_.max_speed = std::clamp(set_.max_speed, 0, d_.max_speed);
    set_.min_speed = std::clamp(set_.min_speed, 0, set_.max_speed);
    set_.acceleration = std::clamp(set_.acceleration, 1, d_.max_acceleration);
    set_.current = std::clamp(set_.current, 0, d_.current_limit_ma);
    set_.current_reduction = std::clamp(set_.current_reduction, 0, d_.current_limit_ma);
    replan(seconds(ms));
    return true;
}

bool model::save_data_set(s64 ms, s32 slot, std::string& problem) {
    advance(seconds(ms));
    if (slot < 0 || slot > MAX_DATA_SET) {
        problem = "data set " + std::to_string(slot) + " is outside 0 to 255";
        return false;
    }
    data_sets_[slot] = set_;
    if (d_.data_sets.empty()) return true;
    host::atomic_file file(d_.data_sets);
    if (!file.open(problem)) return false;
    std::fprintf(file.stream(), "# slot min_speed max_speed acceleration target mode "
                                "current_reduction current direction\n");
    for (const auto& [n, s] : data_sets_) {
        std::fprintf(file.stream(), "%d", n);
        for (auto field : setting_fields) std::fprintf(file.stream(), " %d", s.*field);
        std::fputc('\n', file.stream());
    }
    return file.commit(problem);
}

bool model::load_data_set_file(std::string& problem) {
    if (d_.data_sets.empty() || !host::identity_of(d_.data_sets.c_str())) return true;
    const host::read_result file = host::read_regular_file(d_.data_sets.c_str(), 1 << 20);
    if (file.too_large || !file.ok) {
        problem = d_.data_sets + ": " + (file.too_large ? "larger than 1 MiB" : file.problem);
        return false;
    }
    std::istringstream in(std::string(file.bytes.begin(), file.bytes.end()));
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        long long slot = -1;
        settings s;
        bool ok = static_cast<bool>(fields >> slot) && slot >= 0 && slot <= MAX_DATA_SET;
        for (auto field : setting_fields) {
            long long v = 0;
            ok = ok && static_cast<bool>(fields >> v) && v >= INT32_MIN && v <= INT32_MAX;
            s.*field = static_cast<s32>(v);
        }
        std::string rest;
        if (!ok || fields >> rest) {
            problem = d_.data_sets + ":" + std::to_string(number) + ": not a data set line";
            return false;
        }
        data_sets_[static_cast<s32>(slot)] = s;
    }
    return true;
}

} // namespace drive
