// The seam between the VM core and the host's drive. The VM dispatches a native method by
// its identifier's row in the drive-function table (mirt_method_ids.h): for a function the
// host has registered, it takes the argument its shape says from the operand stack, calls the
// host, and pushes the result its shape says; every other drive function takes the default
// row. The core includes nothing of any host.
#pragma once

#include "mirt_image.h"
#include "mirt_method_ids.h"
#include "mirt_types.h"

// One drive function of the host: the argument as its shape gives it (an int or a long;
// 0 for none), the result where its shape has one.
using drive_call = s32 (*)(s64 argument);
void register_drive_function(method_id id, drive_call call);

// Every call of a drive function the host does not carry out (the default row), after its
// arguments are taken: its name (empty where -OS removed it), its identifier, its arguments
// in the order of the call and the declared return type's letter. A quiet run names the call
// here; a recording host records it. The VM gives back zero of the declared type.
using not_emulated_call = void (*)(image_text name, u16 id, const variable* arguments, int count,
                                   char return_letter);
void register_not_emulated(not_emulated_call call);

// A drive function of the default row whose results the host gives (a scripted input): its
// declared parameters are taken as for the default row, without the default row's error
// line, and the host's value is given back as the declared return type.
using scripted_call = s32 (*)(image_text name, u16 id, const variable* arguments, int count,
                              char return_letter);
void register_scripted_function(method_id id, scripted_call call);
