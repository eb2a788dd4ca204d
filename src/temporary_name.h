// Temporary names beside the output: unguessable, and removed if a signal ends the run.
#pragma once

#include <array>
#include <csignal>

#include <sys/stat.h>

// .vyk_pic_convert-XXXXXXXXXXXX.tmp and its NUL.
using temporary_name_buffer = std::array<char, 34>;

// Puts a fresh random name, .vyk_pic_convert-XXXXXXXXXXXX.tmp, in name. No other user can
// foresee it and take it first, and it is taken by chance about once in 2^71 tries: a name
// found taken is an error, not a reason to try another.
void make_temporary_name(temporary_name_buffer& name);

// From now until unguard_temporary, a signal that would end the process first removes name
// from directory, if it still holds the file identity describes, then ends the process as it
// would have. Signals ignored when the run began stay ignored. One name at a time. Signals must
// be held (signals_held) from before the name is made to after this call.
void guard_temporary(int directory, const temporary_name_buffer& name, const struct stat& identity);

// Stops removing the guarded name on signals: it was removed, renamed, or now holds a file that
// is not the run's own. Signals must be held.
void unguard_temporary();

// Holds back every signal that can be held, from its construction to its end: around the few
// calls that create, swap or remove a name, none of which can wait for long, so that no signal
// ends the run between two of them and leaves a temporary name behind.
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t before_{};
};
