// The structure-aware input of the emulator: bytes read as a sequence of choices that build
// a class of javac-like methods (loop heads, comparisons of the four types and branches on
// them, compound assignments, expressions with constants of every encoding, conversions,
// calls with int and long arguments, early returns), which the proof pass accepts, so the
// unchecked body and its fused steps run on every input. The package is then run as any
// other package is (run_package_input): single steps, the whole run and the run without the
// unchecked body must end alike.
//
// Every statement leaves the operand stack as it found it, so each branch target sees one
// depth; every branch lands on a statement's start; a loop's counter is written only by its
// own increment and its limit is a constant or a local the body never writes, so loops end.
// Types always agree: the register locals the method names as ints hold ints, and the
// locals of the indexed loads hold one type each, so no run ends on a type fault. A divisor
// is a constant other than 0.
#pragma once

#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "package_builder.h"

namespace fuzz {

// The input's bytes in order; past the end every choice is 0.
class choices {
  public:
    choices(const u8* data, size_t size) : at_(data), end_(data + size) {}
    bool more() const { return at_ < end_; }
    u8 byte() { return at_ < end_ ? *at_++ : 0; }
    u32 pick(u32 n) { return byte() % n; }
    u64 bits(int bytes) {
        u64 v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | byte();
        return v;
    }

  private:
    const u8* at_;
    const u8* end_;
};

// Locals of the indexed loads and stores (the method's slice of the local pool), one type
// each; the register locals 0 to 3 are the method's ints and its long parameter.
constexpr u8 LONG_LOCAL = 4, FLOAT_LOCAL = 5, DOUBLE_LOCAL = 6, SECOND_LONG_LOCAL = 7;
constexpr u16 POOL_LOCALS = 8;
// New statements stop when a package's code and constants reach this: with the nested ones
// that may still follow and the class's other bytes, it stays within MAX_PACKAGE_SIZE.
constexpr size_t CODE_BUDGET = 2400;

// The called method's shapes: descriptor, the register locals it holds ints in (parameters
// and its own), the one holding its long parameter (or none).
struct callee_shape {
    const char* descriptor;
    u8 int_locals;
    int long_register;
};
inline constexpr callee_shape
    callee_shapes[] =
        {
            {"(I)I", 0b1111, -1}, {"(II)I", 0b1111, -1}, {"(IJ)J", 0b1101, 1},
            {"(JI)I", 0b1100, 0}, {"()V", 0b1111, -1},   {"(IIII)I", 0b1111, -1},
            {"(JJ)J", 0b0000, 0}, // the second long in register 2; no int locals
};

enum class kind { int_, long_, float_, double_ };

// Writes one method's code from the choices.
class method_writer {
  public:
    // `spent`: the bytes of code and constants written so far into the package, shared by
    // its methods.
    method_writer(choices& in, testing_support::image_builder& image, size_t& spent, u8 int_locals,
                  int long_register, const callee_shape* callee, u16 callee_ref)
        : in_(in), image_(image), spent_(spent), ints_(int_locals), long_register_(long_register),
          callee_(callee), callee_ref_(callee_ref) {}

    testing_support::bytes code;

    // Stores a value of the input in every local the method reads that is not a parameter.
    void prologue(u8 parameters) {
        for (u8 local = 0; local < 4; ++local)
            if ((ints_ >> local & 1) && !(parameters >> local & 1)) {
                int_constant();
                op(static_cast<u8>(OP_istore_0 + local));
            }
        long_constant(), op(OP_lstore, LONG_LOCAL);
        long_constant(), op(OP_lstore, SECOND_LONG_LOCAL);
        float_constant(), op(OP_fstore, FLOAT_LOCAL);
        double_constant(), op(OP_dstore, DOUBLE_LOCAL);
    }

    // Statements while the input lasts and the method is not too long, the loops closed,
    // then the return `ret` (an expression's for a method with a value).
    void body(char ret) {
        ret_ = ret;
        while (in_.more() && statements_ < 96 && spent_ < CODE_BUDGET) {
            const u32 choice = in_.pick(16);
            if (choice == 0 && loops_.size() < 2 && writable_count() >= 2)
                open_loop();
            else if (choice == 1 && !loops_.empty())
                close_loop();
            else
                statement(0);
        }
        while (!loops_.empty()) close_loop();
        return_statement();
    }

  private:
    struct loop {
        u8 counter, limit_local; // limit_local 4: a constant limit
        bool down;
        size_t top, exit;
        s8 step;
    };

    void op(u8 o) {
        code.push_back(o);
        ++spent_;
    }
    // A constant's number, counting its bytes in the package (record and table entries).
    u16 constant(u16 number, size_t bytes) {
        spent_ += bytes;
        return number;
    }
    void op(u8 o, u8 operand) { op(o), op(operand); }
    void op16(u8 o, u32 operand) {
        op(o), op(static_cast<u8>(operand >> 8)), op(static_cast<u8>(operand));
    }
    // A branch whose target is set by land(); its offset.
    size_t forward(u8 o) {
        op16(o, 0);
        return code.size() - 3;
    }
    void land(size_t branch) {
        const u32 offset = static_cast<u32>(code.size() - branch);
        code[branch + 1] = static_cast<u8>(offset >> 8), code[branch + 2] = static_cast<u8>(offset);
    }
    void backward(u8 o, size_t target) {
        op16(o, static_cast<u32>(static_cast<s32>(target) - static_cast<s32>(code.size())));
    }
    void pool_load(u16 index, bool narrow_allowed) {
        if (narrow_allowed && index <= 0xFF)
            op(OP_ldc, static_cast<u8>(index));
        else
            op16(OP_ldc_w, index);
    }

    // --- constants of every encoding ---------------------------------------------------

    s32 int_value() {
        static constexpr s32 edges[] = {0,
                                        1,
                                        -1,
                                        std::numeric_limits<s32>::min(),
                                        std::numeric_limits<s32>::max(),
                                        31,
                                        32,
                                        -33,
                                        63,
                                        64,
                                        0x5A5A1234,
                                        0x10000};
        switch (in_.pick(4)) {
        case 0: return edges[in_.pick(std::size(edges))];
        case 1: return static_cast<s8>(in_.byte());
        case 2: return static_cast<s16>(in_.bits(2));
        default: return static_cast<s32>(in_.bits(4));
        }
    }
    // iconst_<n>, bipush, sipush, ldc or ldc_w; a divisor is never 0.
    void int_constant(bool divisor = false) {
        const u32 encoding = in_.pick(5);
        s32 v = int_value();
        if (encoding == 1 || (encoding == 0 && (v < -1 || v > 5))) v = static_cast<s8>(v);
        if (encoding == 2) v = static_cast<s16>(v);
        if (divisor && v == 0) v = 3;
        if (encoding == 0 && v >= -1 && v <= 5)
            op(static_cast<u8>(OP_iconst_0 + v));
        else if (encoding <= 1)
            op(OP_bipush, static_cast<u8>(v));
        else if (encoding == 2)
            op16(OP_sipush, static_cast<u16>(v));
        else
            pool_load(constant(image_.integer(v), 7), encoding == 3);
    }
    void long_constant(bool divisor = false) {
        static constexpr s64 edges[] = {
            0,  1,  -1,          std::numeric_limits<s64>::min(), std::numeric_limits<s64>::max(),
            63, 64, 0x123456789A};
        const u32 how = in_.pick(4);
        if (how == 0 && !divisor) return op(static_cast<u8>(OP_lconst_0 + in_.pick(2)));
        s64 v = how == 1 ? edges[in_.pick(std::size(edges))]
                         : static_cast<s64>(in_.bits(how == 2 ? 1 : 8));
        if (divisor && v == 0) v = -3;
        op16(OP_ldc2_w, constant(image_.long_constant(v), 13));
    }
    void float_constant() {
        using limits = std::numeric_limits<float>;
        static constexpr float edges[] = {0.0f,
                                          -0.0f,
                                          1.0f,
                                          -1.5f,
                                          limits::infinity(),
                                          -limits::infinity(),
                                          limits::denorm_min(),
                                          limits::quiet_NaN(),
                                          limits::max(),
                                          2147483648.0f,
                                          1e10f,
                                          0.5f};
        const u32 how = in_.pick(4);
        if (how == 0) return op(static_cast<u8>(OP_fconst_0 + in_.pick(3)));
        const float v = how == 1 ? edges[in_.pick(std::size(edges))]
                                 : std::bit_cast<float>(static_cast<u32>(in_.bits(4)));
        pool_load(constant(image_.float_constant(v), 7), how == 2);
    }
    void double_constant() {
        using limits = std::numeric_limits<double>;
        static constexpr double edges[] = {0.0,
                                           -0.0,
                                           1.0,
                                           -1.5,
                                           limits::infinity(),
                                           -limits::infinity(),
                                           limits::denorm_min(),
                                           limits::quiet_NaN(),
                                           limits::max(),
                                           9223372036854775808.0,
                                           1e300,
                                           0.5};
        const u32 how = in_.pick(4);
        if (how == 0) return op(static_cast<u8>(OP_dconst_0 + in_.pick(2)));
        const double v =
            how == 1 ? edges[in_.pick(std::size(edges))] : std::bit_cast<double>(in_.bits(8));
        op16(OP_ldc2_w, constant(image_.double_constant(v), 13));
    }

    // --- locals --------------------------------------------------------------------------

    // The n-th of the set bits of `mask` (counted round), or 4 when there is none.
    static u8 nth_local(u8 mask, u32 n) {
        const int count = std::popcount(mask);
        if (count == 0) return 4;
        n %= static_cast<u32>(count);
        for (u8 local = 0; local < 4; ++local)
            if ((mask >> local & 1) && n-- == 0) return local;
        return 4;
    }
    u8 writable() const { return static_cast<u8>(ints_ & ~counters_); }
    int writable_count() const { return std::popcount(writable()); }
    void load_int(u8 local) { op(static_cast<u8>(OP_iload_0 + local)); }

    // --- expressions: each pushes one value of its kind ----------------------------------

    static constexpr u8 int_operations[] = {OP_iadd, OP_isub, OP_imul,  OP_iand, OP_ior, OP_ixor,
                                            OP_ishl, OP_ishr, OP_iushr, OP_idiv, OP_irem};

    void int_expression(int depth) {
        const u32 choice = in_.pick(depth >= 3 ? 3 : 9);
        const u8 local = nth_local(ints_, in_.byte());
        switch (choice) {
        case 0:
        case 1:
            if (local < 4) return load_int(local);
            [[fallthrough]];
        case 2: return int_constant();
        case 3:
        case 4: { // an operation, javac's order: left, right, operator
            const u8 o = int_operations[in_.pick(std::size(int_operations))];
            int_expression(depth + 1);
            if (o == OP_idiv || o == OP_irem)
                int_constant(true);
            else if (in_.pick(2) == 0)
                int_constant();
            else
                int_expression(depth + 1);
            return op(o);
        }
        case 5:
            int_expression(depth + 1);
            return op(in_.pick(2) == 0 ? u8{OP_ineg} : static_cast<u8>(OP_i2b + in_.pick(3)));
        case 6: { // a conversion from another kind
            const u32 from = in_.pick(3);
            if (from == 0) long_expression(depth + 1), op(OP_l2i);
            if (from == 1) float_expression(depth + 1), op(OP_f2i);
            if (from == 2) double_expression(depth + 1), op(OP_d2i);
            return;
        }
        case 7:
            if (call('I', depth)) return;
            return int_constant();
        default: return int_constant();
        }
    }
    void long_expression(int depth) {
        switch (in_.pick(depth >= 3 ? 3 : 8)) {
        case 0: return op(OP_lload, in_.pick(2) ? LONG_LOCAL : SECOND_LONG_LOCAL);
        case 1:
            if (long_register_ >= 0) return op(static_cast<u8>(OP_lload_0 + long_register_));
            [[fallthrough]];
        case 2: return long_constant();
        case 3:
        case 4: {
            static constexpr u8 ops[] = {OP_ladd, OP_lsub, OP_lmul, OP_land, OP_lor,  OP_lxor,
                                         OP_ldiv, OP_lrem, OP_lshl, OP_lshr, OP_lushr};
            const u8 o = ops[in_.pick(std::size(ops))];
            long_expression(depth + 1);
            if (o == OP_lshl || o == OP_lshr || o == OP_lushr)
                in_.pick(2) == 0 ? int_constant() : int_expression(depth + 1);
            else if (o == OP_ldiv || o == OP_lrem || in_.pick(2) == 0)
                long_constant(o == OP_ldiv || o == OP_lrem);
            else
                long_expression(depth + 1);
            return op(o);
        }
        case 5: {
            const u32 from = in_.pick(4);
            if (from == 0) int_expression(depth + 1), op(OP_i2l);
            if (from == 1) float_expression(depth + 1), op(OP_f2l);
            if (from == 2) double_expression(depth + 1), op(OP_d2l);
            if (from == 3) long_expression(depth + 1), op(OP_lneg);
            return;
        }
        case 6:
            if (call('J', depth)) return;
            [[fallthrough]];
        default: return long_constant();
        }
    }
    void float_expression(int depth) {
        switch (in_.pick(depth >= 3 ? 2 : 6)) {
        case 0: return op(OP_fload, FLOAT_LOCAL);
        case 1: return float_constant();
        case 2:
        case 3: {
            static constexpr u8 ops[] = {OP_fadd, OP_fsub, OP_fmul, OP_fdiv};
            const u8 o = ops[in_.pick(std::size(ops))];
            float_expression(depth + 1);
            in_.pick(2) == 0 ? float_constant() : float_expression(depth + 1);
            return op(o);
        }
        default: {
            const u32 from = in_.pick(4);
            if (from == 0) int_expression(depth + 1), op(OP_i2f);
            if (from == 1) long_expression(depth + 1), op(OP_l2f);
            if (from == 2) double_expression(depth + 1), op(OP_d2f);
            if (from == 3) float_expression(depth + 1), op(OP_fneg);
            return;
        }
        }
    }
    void double_expression(int depth) {
        switch (in_.pick(depth >= 3 ? 2 : 6)) {
        case 0: return op(OP_dload, DOUBLE_LOCAL);
        case 1: return double_constant();
        case 2:
        case 3: {
            static constexpr u8 ops[] = {OP_dadd, OP_dsub, OP_dmul, OP_ddiv};
            const u8 o = ops[in_.pick(std::size(ops))];
            double_expression(depth + 1);
            in_.pick(2) == 0 ? double_constant() : double_expression(depth + 1);
            return op(o);
        }
        default: {
            const u32 from = in_.pick(4);
            if (from == 0) int_expression(depth + 1), op(OP_i2d);
            if (from == 1) long_expression(depth + 1), op(OP_l2d);
            if (from == 2) float_expression(depth + 1), op(OP_f2d);
            if (from == 3) double_expression(depth + 1), op(OP_dneg);
            return;
        }
        }
    }
    // A call of the second method giving `result` (its arguments pushed in order), when
    // this method may call and that one gives it.
    bool call(char result, int depth) {
        if (!callee_) return false;
        const std::string descriptor = callee_->descriptor;
        if (descriptor.back() != result) return false;
        for (size_t i = 1; descriptor[i] != ')'; ++i)
            descriptor[i] == 'I' ? int_expression(depth + 1) : long_expression(depth + 1);
        op16(OP_invokestatic, callee_ref_);
        return true;
    }

    // --- statements: each leaves the stack as it found it --------------------------------

    void statement(int nesting) {
        ++statements_;
        const u8 target = nth_local(writable(), in_.byte());
        switch (in_.pick(nesting > 0 ? 12 : 11)) {
        case 0:
        case 1: // x = expression
            if (target < 4) return int_expression(0), op(static_cast<u8>(OP_istore_0 + target));
            [[fallthrough]];
        case 2: // x op= y, x op= c
            if (target < 4) {
                const u8 o = int_operations[in_.pick(std::size(int_operations))];
                const u8 local = nth_local(ints_, in_.byte());
                load_int(target);
                if (o != OP_idiv && o != OP_irem && in_.pick(2) == 0)
                    load_int(local);
                else
                    int_constant(o == OP_idiv || o == OP_irem);
                return op(o), op(static_cast<u8>(OP_istore_0 + target));
            }
            [[fallthrough]];
        case 3:
            if (long_register_ >= 0 && in_.pick(3) == 0)
                return long_expression(0), op(static_cast<u8>(OP_lstore_0 + long_register_));
            return long_expression(0), op(OP_lstore, in_.pick(2) ? LONG_LOCAL : SECOND_LONG_LOCAL);
        case 4: return float_expression(0), op(OP_fstore, FLOAT_LOCAL);
        case 5: return double_expression(0), op(OP_dstore, DOUBLE_LOCAL);
        case 6:
        case 7: // x++, x += c, and a large c under the wide prefix
            if (target >= 4) return double_expression(0), op(OP_dstore, DOUBLE_LOCAL);
            if (in_.pick(8) == 0) {
                const u64 delta = in_.bits(2);
                op(OP_wide), op16(OP_iinc, target);
                return op(static_cast<u8>(delta >> 8)), op(static_cast<u8>(delta));
            }
            return op(OP_iinc, target), op(static_cast<u8>(in_.byte()));
        case 8:
        case 9: return if_statement(nesting);
        case 10:
            if (callee_ && std::string(callee_->descriptor).back() == 'V') {
                call('V', 0);
                return;
            }
            return if_statement(nesting);
        default: return return_statement(); // only inside an if
        }
    }

    // if (condition) { statements } [else { statements }]: the branch skips the block when
    // the condition fails, as javac writes it.
    void if_statement(int nesting) {
        if (nesting >= 3) return statement(nesting);
        const size_t skip = condition();
        const u32 count = 1 + in_.pick(3);
        for (u32 i = 0; i < count; ++i) statement(nesting + 1);
        if (in_.pick(3) == 0) {
            const size_t over = forward(OP_goto);
            land(skip);
            statement(nesting + 1);
            land(over);
        } else {
            land(skip);
        }
    }
    // Pushes the operands and writes the branch on them; its offset.
    size_t condition() {
        const u8 cond = static_cast<u8>(in_.pick(6)); // eq ne lt ge gt le
        const u8 a = nth_local(ints_, in_.byte()), b = nth_local(ints_, in_.byte());
        switch (in_.pick(8)) {
        case 0: // two int locals
            if (a < 4 && b < 4) {
                load_int(a), load_int(b);
                return forward(static_cast<u8>(OP_if_icmpeq + cond));
            }
            [[fallthrough]];
        case 1: // an int local and a constant
            if (a < 4) {
                load_int(a), int_constant();
                return forward(static_cast<u8>(OP_if_icmpeq + cond));
            }
            [[fallthrough]];
        case 2: // an int against zero
            int_expression(1);
            return forward(static_cast<u8>(OP_ifeq + cond));
        case 3:
        case 4: // two longs
            long_expression(1), long_expression(1);
            op(OP_lcmp);
            return forward(static_cast<u8>(OP_ifeq + cond));
        case 5:
        case 6:
            float_expression(1), float_expression(1);
            op(in_.pick(2) ? OP_fcmpl : OP_fcmpg);
            return forward(static_cast<u8>(OP_ifeq + cond));
        default:
            double_expression(1), double_expression(1);
            op(in_.pick(2) ? OP_dcmpl : OP_dcmpg);
            return forward(static_cast<u8>(OP_ifeq + cond));
        }
    }

    // for (i = start; i < limit; i += step), i a register local nothing else writes, the
    // limit a constant (bipush, sipush, ldc) or a local nothing in the loop writes; or
    // for (i = start; i > 0; i -= step).
    void open_loop() {
        loop l{};
        l.counter = nth_local(writable(), in_.byte());
        counters_ |= static_cast<u8>(1u << l.counter);
        l.limit_local = 4;
        l.down = in_.pick(4) == 0;
        l.step = static_cast<s8>(1 + in_.pick(3));
        const s32 start = static_cast<s32>(in_.pick(4)), limit = static_cast<s32>(in_.pick(12));
        if (l.down) {
            op(OP_bipush, static_cast<u8>(limit)), op(static_cast<u8>(OP_istore_0 + l.counter));
            l.top = code.size();
            load_int(l.counter);
            l.exit = forward(OP_ifle);
            l.step = static_cast<s8>(-l.step);
        } else {
            op(static_cast<u8>(OP_iconst_0 + start)), op(static_cast<u8>(OP_istore_0 + l.counter));
            const u32 how = in_.pick(4);
            if (how == 3 && writable_count() >= 2) {
                l.limit_local = nth_local(writable(), in_.byte());
                counters_ |= static_cast<u8>(1u << l.limit_local);
                op(OP_bipush, static_cast<u8>(limit));
                op(static_cast<u8>(OP_istore_0 + l.limit_local));
            }
            l.top = code.size();
            load_int(l.counter);
            if (l.limit_local < 4)
                load_int(l.limit_local);
            else if (how == 0)
                op(OP_bipush, static_cast<u8>(limit));
            else if (how == 1)
                op16(OP_sipush, static_cast<u16>(limit));
            else
                pool_load(constant(image_.integer(limit), 7), true);
            l.exit = forward(OP_if_icmpge);
        }
        loops_.push_back(l);
    }
    void close_loop() {
        const loop l = loops_.back();
        loops_.pop_back();
        op(OP_iinc, l.counter), op(static_cast<u8>(l.step));
        backward(OP_goto, l.top);
        land(l.exit);
        counters_ &= static_cast<u8>(~(1u << l.counter));
        if (l.limit_local < 4) counters_ &= static_cast<u8>(~(1u << l.limit_local));
    }

    void return_statement() {
        if (ret_ == 'I')
            int_expression(1), op(OP_ireturn);
        else if (ret_ == 'J')
            long_expression(1), op(OP_lreturn);
        else
            op(OP_return);
    }

    choices& in_;
    testing_support::image_builder& image_;
    size_t& spent_;
    u8 ints_;
    int long_register_;
    const callee_shape* callee_;
    u16 callee_ref_;
    u8 counters_ = 0; // locals of open loops: their counters and limits
    std::vector<loop> loops_;
    int statements_ = 0;
    char ret_ = 'V';
};

// The package the input describes: class T with main and a second static method f, which
// main calls (f calls nothing). The first byte picks f's shape, then f's statements up to a
// byte 0xFF (or a fifth of the input), then main's.
inline testing_support::bytes method_package(const u8* data, size_t size) {
    using namespace testing_support;
    const u8 shape_choice = size > 0 ? data[0] : 0;
    const callee_shape& shape = callee_shapes[shape_choice % std::size(callee_shapes)];
    size_t split = size > 0 ? 1 : 0;
    while (split < size && split < 1 + size / 5 && data[split] != 0xFF) ++split;

    image_builder image;
    const u16 self = image.class_constant("T");
    image.set_this_class(self);
    const u16 ref = image.methodref(self, "f", shape.descriptor);

    u8 parameters = 0; // the register locals that hold parameters
    for (u8 slot = 0, i = 1; shape.descriptor[i] != ')'; ++i) {
        parameters |= static_cast<u8>(1u << slot);
        slot = static_cast<u8>(slot + (shape.descriptor[i] == 'J' ? 2 : 1));
    }
    choices callee_in(data + (size > 0 ? 1 : 0), split > 0 ? split - 1 : 0);
    size_t spent = 0;
    method_writer callee(callee_in, image, spent, shape.int_locals, shape.long_register, nullptr,
                         0);
    callee.prologue(parameters);
    const std::string descriptor = shape.descriptor;
    callee.body(descriptor.back());

    choices main_in(data + split, size - split);
    method_writer main(main_in, image, spent, 0b1111, -1, &shape, ref);
    main.prologue(0);
    main.body('V');

    image.method(java_method("main", "()V", main.code, JAVA_MAIN_METHOD, POOL_LOCALS, 0));
    image.method(java_method("f", shape.descriptor, callee.code, 0, POOL_LOCALS, POOL_LOCALS));
    return make_package({{"T", image.build()}});
}

// The fuzz target's input: the package built from it, run as run_package_input runs any.
inline outcome run_method_input(const u8* data, size_t size) {
    const testing_support::bytes package = method_package(data, size);
    return run_package_input(package.data(), package.size());
}

} // namespace fuzz
