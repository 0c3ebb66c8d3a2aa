#include "mirt_opcodes.h"

const char* const opcodes[OPCODE_COUNT] = {
#define MIRT_OPCODE_NAME(value, name, ...) #name,
    MIRT_OPCODE_LIST(MIRT_OPCODE_NAME)
#undef MIRT_OPCODE_NAME
};
