#include "mirt_operation.h"

int get_type(char basetype) {
    switch (basetype) {
    case '(': return TYPE_ARGS_BEGIN;
    case ')': return TYPE_ARGS_END;
    case 'B': return TYPE_BYTE;
    case 'C': return TYPE_CHAR;
    case 'D': return TYPE_DOUBLE;
    case 'F': return TYPE_FLOAT;
    case 'I': return TYPE_INT;
    case 'J': return TYPE_LONG;
    case 'L': return TYPE_REF;
    case 'S': return TYPE_SHORT;
    case 'Z': return TYPE_BOOL;
    default: return -1;
    }
}
