// The VM's state: its module-level variables, one VM per process.
#include "mirt.h"

#include "mirt_core.h"

u8* static_mem = nullptr;
package_bytes loaded;
package_directory* package = nullptr;
class_image cf;
class_image last_cf;
int this_class = 0;
const u8* pc = nullptr;
const u8* code_begin = nullptr;
const u8* code_end = nullptr;
bool inc_pc = true;
u16 function_counter = 0;
bool is_debug = false;
bool quiet = false;
bool batch_trace_output = true;
bool verified_fast_path = true;
u64 instructions_executed = 0;
u64 instruction_limit = NO_INSTRUCTION_LIMIT;
volatile std::sig_atomic_t stop_request = 0;
bool mirt_is_running = false;
bool mirt_init_pending = false;
bool mirt_start_pending = false;
bool wide_opcode = false;
activation current_frame;
variable local_var[REGISTER_LOCALS];
variable local_var_pool[LOCAL_POOL_ENTRIES];
variable* locals = nullptr;
u16 max_locals = 0;

namespace mirt_core {

u64 countdown = MIRT_CHECK_INTERVAL;
stop_handler on_stop = nullptr;
const code_step* counted_runs = nullptr;

} // namespace mirt_core
