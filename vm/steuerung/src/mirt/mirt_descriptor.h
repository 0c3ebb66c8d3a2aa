// Method descriptors, "(<field types>)<return type>", read in one place for the VM and the
// checker.
#pragma once

#include <optional>

#include "mirt_types.h"

// Reads the parameter list one parameter at a time. The VM reads it this way when it passes
// parameters: '(' is passed over wherever it stands, and the first parameter that is neither
// int nor long stops it, whatever follows.
class descriptor_cursor {
  public:
    descriptor_cursor(const char* text, int length) : s_(text), n_(length) {}

    static constexpr int END = -1;

    // The first letter of the next parameter's type ('I', 'J', 'L', '[', ...; any byte of a
    // damaged text), having moved past the whole field type; ')' where the parameters end;
    // END where the text ends first.
    int next_parameter() {
        while (i_ < n_ && s_[i_] == '(') ++i_;
        if (i_ >= n_) return END;
        const char first = s_[i_];
        if (first == ')') {
            ++i_;
            return first;
        }
        field_type();
        return first;
    }

    // After ')': the return type's first letter, or END where there is none.
    int return_letter() const { return i_ < n_ ? s_[i_] : END; }

    // A whole well-formed field type at the cursor; false (the cursor anywhere) where not.
    bool field_type() {
        while (i_ < n_ && s_[i_] == '[') ++i_;
        if (i_ >= n_) return false;
        if (s_[i_] == 'L') {
            while (i_ < n_ && s_[i_] != ';') ++i_;
            if (i_ >= n_) return false;
        } else if (get_type(s_[i_]) < 0 || s_[i_] == '(' || s_[i_] == ')') {
            ++i_;
            return false;
        }
        ++i_;
        return true;
    }

    bool at_end() const { return i_ == n_; }
    bool at(char c) const { return i_ < n_ && s_[i_] == c; }
    void skip() { ++i_; }

  private:
    const char* s_;
    int n_;
    int i_ = 0;
};

struct descriptor_shape {
    int parameters;     // one operand stack entry each
    char return_letter; // first letter of the return type: 'V', 'I', 'J', '[', 'L', ...
};

// The shape of a well-formed descriptor; nothing when the text is not one.
inline std::optional<descriptor_shape> parse_descriptor(const char* text, int length) {
    descriptor_cursor c(text, length);
    if (!c.at('(')) return std::nullopt;
    c.skip();
    descriptor_shape shape{0, 'V'};
    while (!c.at(')')) {
        if (c.at_end() || c.at('(') || !c.field_type()) return std::nullopt;
        ++shape.parameters;
    }
    c.skip();
    const int letter = c.return_letter();
    if (letter == descriptor_cursor::END) return std::nullopt;
    shape.return_letter = static_cast<char>(letter);
    if (letter == 'V') {
        c.skip();
        return c.at_end() ? std::optional(shape) : std::nullopt;
    }
    if (!c.field_type() || !c.at_end()) return std::nullopt;
    return shape;
}
