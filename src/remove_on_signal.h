// Removing a half-written output file when a signal ends the run.
#pragma once

#include <cstdio>

// Opens path as std::fopen(path, mode) does and, if it opens, arms the removal: until
// stop_removing_on_signal(), SIGINT, SIGTERM, SIGHUP or SIGQUIT removes path and then ends the
// process by that same signal, so that whoever started the run sees it killed by the signal, as
// without the removal. A signal that is ignored when this is called stays ignored. The four
// signals are held back while the file is opened, so the file never exists unguarded; a signal
// that arrives meanwhile takes effect once the open has returned. path must stay valid and
// unchanged until stop_removing_on_signal(). Returns what std::fopen returns; if that is null,
// nothing is armed.
std::FILE* fopen_removed_on_signal(const char* path, const char* mode);

// Disarms the removal: the four signals get back the actions they had before it was armed.
void stop_removing_on_signal();
