// What an OS file shares with the FTDI file linked beside it.
#pragma once
#include "line/os.h"

// Keeps CALL and WORDS as os_failure() reports them, unless a failure since the open is kept.
void os_note_failure(const char* call, const char* words, os_reason reason);
// Lets the next failure be kept: a fresh open.
void os_forget_failure();
