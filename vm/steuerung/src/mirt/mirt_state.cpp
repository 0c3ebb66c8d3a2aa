// The VM's state: its module-level variables, defined and reset from their one list.
#include "mirt_state.h"

#include "mirt_core.h"

#define MIRT_DEFINE_VALUE(type, name, initial) type name = initial;
#define MIRT_DEFINE_ARRAY(type, name, entries) type name[entries]{};
MIRT_VM_STATE(MIRT_DEFINE_VALUE, MIRT_DEFINE_ARRAY)
#undef MIRT_DEFINE_VALUE
#undef MIRT_DEFINE_ARRAY

void mirt_core::reset_state() {
#define MIRT_RESET_VALUE(type, name, initial) name = initial;
#define MIRT_RESET_ARRAY(type, name, entries)                                                      \
    for (auto& entry : (name)) entry = {};
    MIRT_VM_STATE(MIRT_RESET_VALUE, MIRT_RESET_ARRAY)
#undef MIRT_RESET_VALUE
#undef MIRT_RESET_ARRAY
}
