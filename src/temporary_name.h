// Temporary names beside the output: unguessable, and removed if a signal ends the run.
#pragma once

#include <csignal>

// How many fresh names to try before giving up: a random name is taken by chance about once in
// 2^71 tries, so more than one failure means something else is wrong.
inline constexpr int temporary_name_attempts = 16;

// Makes a fresh random name, .vyk_pic_convert-XXXXXXXXXXXX.tmp, and returns it. No other user
// can foresee it and take it first. It stays valid, as temporary_name(), until the next call.
const char* fresh_temporary_name();

// The name fresh_temporary_name made last.
const char* temporary_name();

// Creates a new file under a fresh temporary name in directory, open for writing only, with
// the permission bits mode (less the umask). O_EXCL makes the file this run's own: nothing
// already at the name is opened or followed. While the name exists, a signal that would end the
// process first removes it; signals ignored when the run began stay ignored. Returns the
// descriptor, or -1 with errno set and nothing created.
int create_temporary(int directory, unsigned mode);

// From now on, a signal that would end the process first removes the temporary name from
// directory, as for create_temporary. Signals must be held.
void guard_temporary(int directory);

// Removes the temporary name from directory, if it is still there, and stops removing it on
// signals. Signals must be held.
void remove_temporary(int directory);

// Stops removing the temporary name on signals, once it has been renamed away. Signals must be
// held.
void forget_temporary();

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
