// A model of one axis behind the drive functions: a profile generator (trapezoid, triangle
// for short moves) for the demand position, the axis following it with the acceleration its
// current allows, and the actual position behind the axis through a first-order lag. Every
// value is computed in closed form at the emulated time of the call, so what a program sees
// does not depend on how often it asks. Units: encoder counts, counts/s, counts/s^2, mA.
#pragma once

#include <array>
#include <limits>
#include <map>
#include <string>

#include "drive_description.h"

namespace drive {

// Bits of the status word GetStatus gives.
enum status_bit : u32 {
    STATUS_ENABLED = 1u << 0,
    STATUS_MOVING = 1u << 1,
    STATUS_TARGET_REACHED = 1u << 2,
    STATUS_FOLLOWING_ERROR = 1u << 3,
    STATUS_LIMIT = 1u << 4,
    STATUS_FAULT = 1u << 5,
};

// The two operating modes, by their CiA 402 numbers.
constexpr s32 PROFILE_POSITION_MODE = 1;
constexpr s32 PROFILE_VELOCITY_MODE = 3;

constexpr double FOREVER = std::numeric_limits<double>::infinity();

// A motion as a few phases of constant acceleration; after the last phase it rests.
struct profile {
    struct phase {
        double t0 = 0; // s, when the phase begins
        double p0 = 0; // position then
        double v0 = 0; // speed then
        double a = 0;  // acceleration during it
        double x0 = 0; // the lagged position then
    };
    std::array<phase, 8> phases{};
    int count = 0;
    double lag_s = 0; // time constant of the lagged position

    struct point {
        double p, v, a, x; // position, speed, acceleration, lagged position
    };
    point at(double t) const;
    double end() const { return phases[count - 1].t0; } // from then on it rests
    // Whether the phase boundaries lie in (from, to]: the times where the profile's
    // acceleration changes.
    template <typename F> void boundaries(double from, double to, F each) const {
        for (int i = 1; i < count; ++i)
            if (phases[i].t0 > from && phases[i].t0 <= to) each(phases[i].t0);
    }
};

// A move from `p0` with speed `v0` and lagged position `x0` at time `t0` to rest at `target`,
// with at most `speed` and `acceleration` (> 0). A move that starts too fast or the wrong way
// first brakes; the speed never jumps, except between standstill and the start/stop speed
// `min_speed` (clamped to `speed`), as a stepper starts and stops. `acceleration` <= 0: the
// axis cannot move and rests.
profile plan_move(double t0, double p0, double v0, double x0, double target, double speed,
                  double acceleration, double lag_s, double min_speed = 0);
// Braking to standstill with `acceleration` (<= 0: stops at once), down to `min_speed` and
// from there to rest at once.
profile plan_stop(double t0, double p0, double v0, double x0, double acceleration, double lag_s,
                  double min_speed = 0);

// The values a data set holds: what the Set functions set.
struct settings {
    s32 min_speed = 0;
    s32 max_speed = 0;
    s32 acceleration = 0;
    s32 target = 0;
    s32 mode = PROFILE_POSITION_MODE;
    s32 current_reduction = 0;
    s32 current = 0;
    s32 direction = 1;
    bool operator==(const settings&) const = default;
};

// The model's state at one time, for recordings.
struct snapshot {
    s32 demand;
    s32 actual;
    s32 speed; // counts/s of the axis
    s32 current;
    u32 status;
};

class model {
  public:
    explicit model(description d);

    // The drive functions. `ms` is the emulated time of the call; calls come in time order.
    void start_drive(s64 ms);
    void stop_drive(s64 ms);
    // SetMode and SetDriveMode alike: 3 is profile velocity, every other value position.
    void set_mode(s64 ms, s32 mode);
    void set_max_speed(s64 ms, s32 speed);
    void set_min_speed(s64 ms, s32 speed);
    void set_acceleration(s64 ms, s32 acceleration);
    void set_direction(s64 ms, s32 direction);
    void set_target(s64 ms, s32 target);
    // Presets the position at standstill; false (and no change) while the axis moves.
    bool set_position(s64 ms, s32 position);
    void set_current(s64 ms, s32 ma);
    void set_current_reduction(s64 ms, s32 ma);
    void set_digital_output(s32 value) { digital_output_ = value; }
    // Data sets: false for a slot outside 0 to 255, a slot never saved, or a file that could
    // not be written (`problem` says which).
    bool load_data_set(s64 ms, s32 slot, std::string& problem);
    bool save_data_set(s64 ms, s32 slot, std::string& problem);

    s32 encoder_position(s64 ms);
    s32 demand_position(s64 ms);
    s32 current(s64 ms);
    u32 status(s64 ms);
    // The switch bits at the actual position (and closed by events).
    s32 digital_input(s64 ms);
    s32 digital_output() const { return digital_output_; }
    const settings& set() const { return set_; }
    snapshot state(s64 ms);

    // Reads the persistent data sets of the description, where it names a file that
    // exists; false with the reason when it cannot be read.
    bool load_data_set_file(std::string& problem);

  private:
    void advance(double t);
    void apply(const event& e, double t);
    void check_following_error(double from, double to);
    void replan(double t);
    void halt(double t, u32 reason);
    double target_of_mode(double from);
    double acceleration_available() const;
    double lagged(double t) const;
    bool moving(double t) const;

    description d_;
    settings set_;
    profile demand_;
    profile axis_;
    double now_ = 0;            // s: the model has been carried up to here
    size_t next_event_ = 0;     // events before it have happened
    double enabled_until_ = -1; // the axis is enabled before this time
    double offset_ = 0;         // SetPosition's shift of the counts against the switches
    double encoder_frozen_ = 0; // the encoder's reading since a fault
    bool clamped_ = false;      // the move ends at a limit short of what was asked
    u32 faults_ = 0;            // STATUS_FOLLOWING_ERROR, STATUS_LIMIT, STATUS_FAULT
    s32 load_ma_ = 0;
    bool blocked_ = false;
    bool lower_switch_forced_ = false;
    bool upper_switch_forced_ = false;
    s32 digital_output_ = 1;
    std::map<s32, settings> data_sets_;
};

} // namespace drive
