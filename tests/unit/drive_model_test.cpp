// The axis model against the closed forms of its motions, and the drive description reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "drive_description.h"
#include "drive_model.h"

namespace {

using namespace drive;

struct move_case {
    const char* name;
    double distance, speed, acceleration;
    double time;          // closed form of the move's duration
    double peak;          // highest speed on the way
    double min_speed = 0; // start/stop speed
};

TEST(DriveProfile, MovesTakeTheirClosedFormTime) {
    const move_case cases[] = {
        // long: time = distance/speed + speed/acceleration
        {"trapezoid", 10000, 1000, 1000, 10000.0 / 1000 + 1000.0 / 1000, 1000},
        {"trapezoid backwards", -10000, 1000, 1000, 11, 1000},
        {"just a triangle", 1000, 1000, 1000, 2, 1000},
        // short: time = 2 sqrt(distance/acceleration)
        {"triangle", 400, 1000, 1000, 2 * std::sqrt(400.0 / 1000), std::sqrt(400.0 * 1000)},
        {"no move", 0, 1000, 1000, 0, 0},
        // with a start/stop speed w: time = (distance - (speed^2 - w^2)/acceleration)/speed
        // + 2 (speed - w)/acceleration
        {"trapezoid from a start speed", 10000, 1000, 1000,
         (10000 - (1000.0 * 1000 - 500 * 500) / 1000) / 1000 + 2 * (1000.0 - 500) / 1000, 1000,
         500},
        {"trapezoid backwards from a start speed", -10000, 1000, 1000, 10.25, 1000, 500},
        // triangle: peak = sqrt(w^2 + acceleration distance), time = 2 (peak - w)/acceleration
        {"triangle from a start speed", 400, 1000, 1000, 2 * (700.0 - 300) / 1000, 700, 300},
        {"start speed above the speed: it cruises", 1000, 500, 1000, 2, 500, 800},
        {"no move with a start speed", 0, 1000, 1000, 0, 0, 500},
    };
    for (const move_case& c : cases) {
        SCOPED_TRACE(c.name);
        const profile p =
            plan_move(0, 0, 0, 0, c.distance, c.speed, c.acceleration, 0, c.min_speed);
        EXPECT_NEAR(p.end(), c.time, 1e-9);
        EXPECT_NEAR(p.at(p.end()).p, c.distance, 1e-9);
        EXPECT_NEAR(std::fabs(p.at(c.time / 2).v), c.peak, 1e-6);
        // It starts and stops at the start/stop speed, at once from and to standstill.
        const double edge = c.distance == 0 ? 0 : std::min(c.min_speed, c.speed);
        EXPECT_NEAR(std::fabs(p.at(0).v), edge, 1e-6);
        EXPECT_NEAR(std::fabs(p.at(c.time - 1e-9).v), edge, 1e-5);
        EXPECT_EQ(p.at(c.time).v, 0);
    }
}

// The lag: a step reaches 63.2 % at one time constant; a ramp trails by speed x lag.
TEST(DriveProfile, LagIsFirstOrder) {
    const profile step = plan_stop(0, 1000, 0, 0, 1, 0.1);
    EXPECT_NEAR(step.at(0.1).x, 1000 * (1 - std::exp(-1.0)), 1e-9);
    EXPECT_NEAR(step.at(0.1).x, 632.1, 0.05);
    const profile ramp = plan_move(0, 0, 1000, 0, 1e9, 1000, 1000, 0.1);
    EXPECT_NEAR(ramp.at(5).p - ramp.at(5).x, 1000 * 0.1, 1e-6);
}

description plain() {
    description d;
    d.lag_ms = 0;
    d.max_speed = 1000;
    d.max_acceleration = 1000;
    d.friction_ma = 0;
    return d;
}

// A model with a program's calls at given times; `check` runs at the end.
struct run_case {
    const char* name;
    std::function<void(description&)> describe;
    std::function<void(model&)> program;
    std::function<void(model&)> check;
};

TEST(DriveModel, ClosedLoopRuns) {
    const run_case cases[] = {
        {"new target mid-move re-plans without a jump", nullptr,
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
             m.set_target(2000, 3000); // at 1500 with 1000 counts/s: 1 s cruise, 1 s braking
         },
         [](model& m) {
             EXPECT_EQ(m.demand_position(2000), 1500);
             EXPECT_EQ(m.demand_position(2001), 1501); // still at 1000 counts/s
             EXPECT_EQ(m.demand_position(3999), 3000);
             EXPECT_NE(m.status(3990) & STATUS_TARGET_REACHED, STATUS_TARGET_REACHED);
             EXPECT_EQ(m.status(4000), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"new target behind: brake, then back", nullptr,
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
             m.set_target(2000, 0); // brakes to 2000 by 3 s, then 2000 back in 3 s
         },
         [](model& m) {
             EXPECT_EQ(m.demand_position(3000), 2000);
             EXPECT_EQ(m.demand_position(4500), 1000);
             EXPECT_EQ(m.status(6000), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"StopDrive mid-move brakes and disables", nullptr,
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
             m.stop_drive(2000);
         },
         [](model& m) {
             EXPECT_EQ(m.status(2500) & (STATUS_ENABLED | STATUS_MOVING),
                       STATUS_ENABLED | STATUS_MOVING);
             EXPECT_EQ(m.demand_position(2500), 1500 + 500 - 125);
             EXPECT_EQ(m.encoder_position(3000), 2000);
             EXPECT_EQ(m.status(3000), 0u);
             EXPECT_EQ(m.current(3000), 0);
         }},
        {"velocity mode turns round", nullptr,
         [](model& m) {
             m.set_mode(0, PROFILE_VELOCITY_MODE);
             m.start_drive(0);
             m.set_direction(2000, -1); // at 1500, +1000 counts/s
         },
         [](model& m) {
             EXPECT_EQ(m.status(1500) & STATUS_TARGET_REACHED, STATUS_TARGET_REACHED);
             EXPECT_EQ(m.demand_position(3000), 2000);
             EXPECT_EQ(m.demand_position(4000), 1500);
             EXPECT_EQ(m.demand_position(5000), 500);
             EXPECT_EQ(m.state(5000).speed, -1000);
         }},
        {"current limit slows the axis, the following error grows",
         [](description& d) {
             d.max_acceleration = 10000;
             d.friction_ma = 100;
             d.current_limit_ma = 600;
             d.ma_per_acceleration = 100; // 5000 counts/s^2 from 500 mA
         },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.current(100), 600);
             // demand: 1000 counts/s at 0.1 s; axis at 0.2 s, 50 counts behind
             EXPECT_EQ(m.demand_position(200) - m.encoder_position(200), 50);
             EXPECT_EQ(m.demand_position(10100), 10000);
             EXPECT_EQ(m.encoder_position(10100), 10000 - 25);
             EXPECT_EQ(m.status(10200), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"following error over the limit stops and disables",
         [](description& d) {
             d.max_acceleration = 10000;
             d.friction_ma = 100;
             d.current_limit_ma = 600;
             d.ma_per_acceleration = 100;
             d.following_error_limit = 40;
         },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.status(60000), STATUS_FOLLOWING_ERROR);
             EXPECT_LT(m.encoder_position(60000), 500);
         }},
        {"a blocked axis builds up the following error",
         [](description& d) {
             d.events = {{1000, event::kind::block, 0}};
         },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.encoder_position(5000), 500);
             EXPECT_EQ(m.status(5000), STATUS_FOLLOWING_ERROR);
         }},
        {"an encoder fault freezes the reading",
         [](description& d) {
             d.events = {{1000, event::kind::encoder_fault, 0}};
         },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.encoder_position(5000), 500);
             EXPECT_EQ(m.status(5000), STATUS_FAULT);
             m.start_drive(6000);
             EXPECT_EQ(m.status(6000), STATUS_FAULT);
         }},
        {"a limit switch stops the axis at it",
         [](description& d) { d.upper_limit_switch_position = 5000; },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.encoder_position(20000), 5000);
             EXPECT_EQ(m.status(20000), STATUS_ENABLED | STATUS_LIMIT);
             EXPECT_EQ(m.digital_input(20000), 1 << 2);
         }},
        {"a limit switch closing by event brakes the axis",
         [](description& d) {
             d.events = {{2000, event::kind::upper_limit_switch, 0}};
         },
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.encoder_position(20000), 2000);
             EXPECT_EQ(m.status(20000), STATUS_ENABLED | STATUS_LIMIT);
         }},
        {"homing against the home switch",
         [](description& d) {
             d.start_position = 3000;
             d.home_switch_position = 500;
         },
         [](model& m) {
             m.set_mode(0, PROFILE_VELOCITY_MODE);
             m.set_direction(0, -1);
             m.start_drive(0);
             s64 t = 0;
             while (!(m.digital_input(t) & 1)) t += 10;
             EXPECT_EQ(t, 3000); // 500 counts in 1 s, then 2000 at full speed
             m.stop_drive(t);
             EXPECT_FALSE(m.set_position(t, 0)); // still braking
             EXPECT_TRUE(m.set_position(t + 1000, 0));
             m.set_mode(t + 1000, 1);
             m.start_drive(t + 1000);
         },
         [](model& m) {
             EXPECT_EQ(m.encoder_position(5000), 0);
             EXPECT_EQ(m.status(5000), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"start/stop speed: from 500 up to 1000 and down to 500, 10.25 s", nullptr,
         [](model& m) {
             m.set_min_speed(0, 500);
             m.set_target(0, 10000);
             m.start_drive(0);
         },
         [](model& m) {
             EXPECT_EQ(m.state(1).speed, 501);
             EXPECT_EQ(m.demand_position(1000), 375 + 500);
             EXPECT_EQ(m.state(10249).speed, 501);
             EXPECT_EQ(m.status(10249), STATUS_ENABLED | STATUS_MOVING);
             EXPECT_EQ(m.status(10250), STATUS_ENABLED | STATUS_TARGET_REACHED);
             EXPECT_EQ(m.encoder_position(10250), 10000);
         }},
        {"start/stop speed: a new target mid-move re-plans without a jump", nullptr,
         [](model& m) {
             m.set_min_speed(0, 500);
             m.set_target(0, 10000);
             m.start_drive(0);
             m.set_target(2000, 3000); // at 1875 with 1000 counts/s: 0.75 s cruise, 0.5 s down
         },
         [](model& m) {
             EXPECT_EQ(m.state(2001).speed, 1000);
             EXPECT_EQ(m.demand_position(2001), 1876);
             EXPECT_EQ(m.state(3249).speed, 501);
             EXPECT_EQ(m.status(3250), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"start/stop speed: raised mid-move, the move goes on from its speed", nullptr,
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
             m.set_min_speed(500, 800); // at 125 with 500 counts/s
         },
         [](model& m) {
             EXPECT_EQ(m.state(501).speed, 501);
             EXPECT_EQ(m.demand_position(1000), 500);
             // down from 1000 to 800 takes 0.2 s and 180 counts: at the target at 10.52 s
             EXPECT_EQ(m.state(10519).speed, 801);
             EXPECT_EQ(m.status(10521), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"start/stop speed: a short move below it speeds up all the way, then stops", nullptr,
         [](model& m) {
             m.set_target(0, 10000);
             m.start_drive(0);
             m.set_min_speed(100, 800); // at 5 with 100 counts/s
             m.set_target(100, 300);    // 295 counts: sqrt(100^2 + 2 1000 295) = 774.6 at the end
         },
         [](model& m) {
             EXPECT_EQ(m.state(774).speed, 774);
             EXPECT_EQ(m.status(774), STATUS_ENABLED | STATUS_MOVING);
             EXPECT_EQ(m.status(775), STATUS_ENABLED | STATUS_TARGET_REACHED);
         }},
        {"start/stop speed: StopDrive brakes to it, then stops", nullptr,
         [](model& m) {
             m.set_min_speed(0, 500);
             m.set_target(0, 10000);
             m.start_drive(0);
             m.stop_drive(2000); // 1000 -> 500 counts/s in 0.5 s, 375 counts
         },
         [](model& m) {
             EXPECT_EQ(m.state(2499).speed, 501);
             EXPECT_EQ(m.encoder_position(3000), 1875 + 375);
             EXPECT_EQ(m.status(3000), 0u);
         }},
        {"start/stop speed: velocity mode turns round through standstill", nullptr,
         [](model& m) {
             m.set_min_speed(0, 500);
             m.set_mode(0, PROFILE_VELOCITY_MODE);
             m.start_drive(0);
             m.set_direction(2000, -1); // at 1875: 0.5 s down to 500, then -500 at once
         },
         [](model& m) {
             EXPECT_EQ(m.state(2499).speed, 501);
             EXPECT_EQ(m.demand_position(2500), 2250);
             EXPECT_EQ(m.state(2501).speed, -501);
             EXPECT_EQ(m.demand_position(3000), 2250 - 375);
         }},
        {"start/stop speed is clamped to the profile speed", nullptr,
         [](model& m) {
             m.set_max_speed(0, 400);
             m.set_min_speed(0, 900);
             EXPECT_EQ(m.set().min_speed, 400);
             m.set_max_speed(0, 300);
             m.set_min_speed(0, -5);
             EXPECT_EQ(m.set().min_speed, 0);
             m.set_min_speed(0, 250);
             m.set_max_speed(0, 200);
         },
         [](model& m) { EXPECT_EQ(m.set().min_speed, 200); }},
        {"data sets restore what was set", nullptr,
         [](model& m) {
             std::string problem;
             m.set_max_speed(0, 500);
             m.set_acceleration(0, 250);
             EXPECT_TRUE(m.save_data_set(0, 3, problem));
             m.set_max_speed(0, 900);
             EXPECT_FALSE(m.load_data_set(0, 4, problem));
             EXPECT_EQ(problem, "data set 4 was never saved");
             EXPECT_FALSE(m.load_data_set(0, 300, problem));
             EXPECT_EQ(problem, "data set 300 is outside 0 to 255");
             EXPECT_TRUE(m.load_data_set(0, 3, problem));
         },
         [](model& m) {
             EXPECT_EQ(m.set().max_speed, 500);
             EXPECT_EQ(m.set().acceleration, 250);
         }},
        {"settings are clamped", nullptr,
         [](model& m) {
             m.set_max_speed(0, 5000);
             m.set_acceleration(0, -3);
             m.set_current(0, 1 << 30);
         },
         [](model& m) {
             EXPECT_EQ(m.set().max_speed, 1000);
             EXPECT_EQ(m.set().acceleration, 1);
             EXPECT_EQ(m.set().current, 3000);
         }},
    };
    for (const run_case& c : cases) {
        SCOPED_TRACE(c.name);
        description d = plain();
        if (c.describe) c.describe(d);
        model m(d);
        c.program(m);
        c.check(m);
    }
}

TEST(DriveModel, DataSetsPersistWholeOrNothing) {
    char dir[] = "/tmp/drive_sets_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    description d = plain();
    d.data_sets = std::string(dir) + "/sets";
    std::string problem;
    {
        model m(d);
        ASSERT_TRUE(m.load_data_set_file(problem)); // no file yet: no sets
        m.set_max_speed(0, 700);
        ASSERT_TRUE(m.save_data_set(0, 2, problem)) << problem;
    }
    std::ifstream in(d.data_sets);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "# slot min_speed max_speed acceleration target mode "
                          "current_reduction current direction\n2 0 700 1000 0 1 0 3000 1\n");
    model again(d);
    ASSERT_TRUE(again.load_data_set_file(problem)) << problem;
    ASSERT_TRUE(again.load_data_set(0, 2, problem));
    EXPECT_EQ(again.set().max_speed, 700);

    description nowhere = plain();
    nowhere.data_sets = std::string(dir) + "/missing/sets";
    model m(nowhere);
    EXPECT_FALSE(m.save_data_set(0, 1, problem));
    std::ofstream(d.data_sets) << "2 1 2\n";
    model broken(d);
    EXPECT_FALSE(broken.load_data_set_file(problem));
    EXPECT_EQ(problem, d.data_sets + ":1: not a data set line");
    // A file written under another description: its values are clamped as SetMaxSpeed etc. do.
    std::ofstream(d.data_sets) << "5 2000 5000 0 7 1 -4 99999 1\n";
    model other(d);
    ASSERT_TRUE(other.load_data_set_file(problem)) << problem;
    ASSERT_TRUE(other.load_data_set(0, 5, problem));
    EXPECT_EQ(other.set(), (settings{1000, 1000, 1, 7, 1, 0, 3000, 1}));
    std::remove(d.data_sets.c_str());
    rmdir(dir);
}

// Random programs stay within the speed, acceleration and software limits, and a move
// inside them ends at its target. From round 40 on they also set start/stop speeds: the speed
// jumps only between standstill and at most the start/stop speed.
TEST(DriveModel, RandomCommandsStayInsideTheLimits) {
    std::mt19937 random(30);
    for (int round = 0; round < 80; ++round) {
        const bool min_speeds = round >= 40;
        s32 highest_min_speed = 0;
        description d = plain();
        d.lag_ms = static_cast<s32>(random() % 20);
        d.min_position = -20000;
        d.max_position = 20000;
        d.following_error_limit = 1 << 30;
        model m(d);
        m.start_drive(0);
        double last_v = 0;
        s64 t = 0;
        // Carries the model to `until` a millisecond at a time, checking every step.
        auto run_to = [&](s64 until) {
            for (; t < until; ++t) {
                const snapshot s = m.state(t + 1);
                ASSERT_LE(std::abs(s.speed), d.max_speed) << round << " at " << t;
                const double step = d.max_acceleration / 1000.0 + 1;
                const bool near_standstill = std::fabs(last_v) <= highest_min_speed + step &&
                                             std::abs(s.speed) <= highest_min_speed + step;
                ASSERT_TRUE(std::fabs(s.speed - last_v) <= step || near_standstill)
                    << round << " at " << t << ": " << last_v << " to " << s.speed;
                ASSERT_GE(std::min(s.demand, s.actual), d.min_position);
                ASSERT_LE(std::max(s.demand, s.actual), d.max_position);
                last_v = s.speed;
            }
        };
        for (int i = 0; i < 12; ++i) {
            run_to(t + random() % 3000);
            const s32 value = static_cast<s32>(random() % 60001) - 30000;
            switch (random() % (min_speeds ? 7 : 6)) {
            case 0: m.set_target(t, value); break;
            case 1: m.set_max_speed(t, std::abs(value) / 20); break;
            case 2: m.set_acceleration(t, std::abs(value) / 10); break;
            case 3: m.set_mode(t, random() % 2 ? PROFILE_VELOCITY_MODE : 1); break;
            case 4: m.set_direction(t, value); break;
            case 5: m.status(t); break;
            default:
                m.set_min_speed(t, std::abs(value) / 30);
                highest_min_speed = std::max(highest_min_speed, m.set().min_speed);
                break;
            }
        }
        const s32 target = static_cast<s32>(random() % 30001) - 15000;
        m.set_mode(t, 1);
        m.set_max_speed(t, 1000);
        m.set_acceleration(t, 1000);
        m.set_target(t, target);
        run_to(t + 60000);
        EXPECT_EQ(m.encoder_position(t), target) << round;
        EXPECT_EQ(m.status(t), STATUS_ENABLED | STATUS_TARGET_REACHED) << round;
    }
}

struct description_case {
    const char* text;
    const char* problem; // empty: accepted
};

TEST(DriveDescription, RefusesWhatItDoesNotKnow) {
    const description_case cases[] = {
        {"", ""},
        {"max_speed: 2000\nlag_ms: 0\nevents:\n  - at_ms: 5\n    load_ma: 300\n", ""},
        {"events:\n  - {at_ms: 9, block: true}\n  - {at_ms: 1, limit_switch: lower}\n", ""},
        {"max_speed: 5\nspeed: 1\n", "d.yaml:2: unknown key 'speed'"},
        {"max_speed: fast\n", "d.yaml:1: max_speed: expected an integer, not 'fast'"},
        {"max_speed: [1]\n", "d.yaml:1: max_speed: expected an integer"},
        {"lag_ms: -1\n", "d.yaml:1: lag_ms: -1 is outside 0 to 60000"},
        {"min_position: 3000000000\n",
         "d.yaml:1: min_position: 3000000000 is outside -2147483648 to 2147483647"},
        {"home_switch_bit: 32\n", "d.yaml:1: home_switch_bit: 32 is outside 0 to 31"},
        {"lag_ms: 1\nlag_ms: 2\n", "d.yaml:2: 'lag_ms' given twice"},
        {"events:\n  - at_ms: 5\n    push: 1\n", "d.yaml:3: unknown event key 'push'"},
        {"events:\n  - at_ms: 5\n", "d.yaml:2: an event has exactly one of load_ma, block, "
                                    "encoder_fault, limit_switch"},
        {"events:\n  - {at_ms: 5, limit_switch: left}\n",
         "d.yaml:2: limit_switch: expected lower or upper"},
        {"min_position: 10\nmax_position: 5\n", "d.yaml:1: min_position is above max_position"},
        {"- 1\n", "d.yaml:1: a drive description is a map of keys"},
        {"max_speed: : :\n", "d.yaml:1: illegal map value"},
    };
    for (const description_case& c : cases) {
        SCOPED_TRACE(c.text);
        description d;
        std::string problem;
        EXPECT_EQ(parse_description("d.yaml", c.text, d, problem), *c.problem == 0);
        EXPECT_EQ(problem, c.problem);
    }
    description d;
    std::string problem;
    ASSERT_TRUE(parse_description("d.yaml",
                                  "events:\n - {at_ms: 9, block: true}\n - {at_ms: "
                                  "1, load_ma: 7}\nmax_speed: 2000\n",
                                  d, problem));
    EXPECT_EQ(d.max_speed, 2000);
    EXPECT_EQ(d.max_acceleration, description{}.max_acceleration);
    ASSERT_EQ(d.events.size(), 2u);
    EXPECT_EQ(d.events[0].at_ms, 1);
    EXPECT_EQ(d.events[0].load_ma, 7);
    EXPECT_FALSE(read_description("/nonexistent/d.yaml", d, problem));
}

} // namespace
