// Running the built tool as a process for the end-to-end tests: its result, what is done to its
// process before it starts, and holding it at a chosen system call.
#pragma once

#include "test_support.h"

#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

struct run_result {
    int status; // the exit status, or 128 + the signal that ended the process
    int signal; // the signal that ended the process, or 0 if it exited
    std::string out;
    std::string err;
};

// Everything fd holds, from its start; closes it.
std::string contents_of(int fd);

// What the tool's process gets done to it, after the fork and before the tool starts. A step
// that fails there ends the process with setup_failed.
using child_setup = std::function<void()>;

// Ends the tool's process before the tool starts, because step (on object, if not empty)
// failed: writes "[test runner] the tool did not start: STEP OBJECT: ERRNO TEXT" to its standard
// error, where the test's expectations show it, and exits with status 127, which the tool itself
// never gives. Safe between fork and exec: it allocates nothing.
[[noreturn]] void setup_failed(const char* step, const char* object = "");

// first, then second; either may be empty.
child_setup both(child_setup first, child_setup second);

struct started_tool {
    pid_t pid;
    int out; // the tool's standard output and error, read once it has ended
    int err;
};

// Starts the tool with args in directory cwd, after setup, if given. The tool is started from
// a descriptor opened beforehand, so that an account that setup takes on starts it whatever the
// modes of the directories on the way to it; where the file's own mode keeps other accounts
// from running it (a build under umask 077), from a copy in memory that anyone may run. Under an
// emulator, the emulator is looked up in PATH and opens the tool by its path itself.
started_tool start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                        const child_setup& setup = {});

// The tool's result from its wait status.
run_result result_of(const started_tool& tool, int status);

// Waits for the tool to end. A tool that is still running after 30 seconds (well inside the
// test's own time limit) is stuck where it should have ended: it is killed, and the result says
// so on its standard error.
run_result wait_for(const started_tool& tool);

run_result run_tool(const fs::path& cwd, const std::vector<std::string>& args,
                    const child_setup& setup = {});

// Why an account other than the one running the tests can't start the tool as start_tool starts
// it, or "" if any account can.
std::string why_others_cant_start_tool();

// What a run gave, for a failure message: how it ended, and its standard output and error.
std::string describe(const run_result& result);

// Caps the size of any file the tool writes, as a quota or a nearly full disk would.
child_setup file_size_limit(rlim_t bytes);

// Why the tests that trace the tool can't run under an emulator.
inline constexpr const char* cant_trace = "qemu-user can't trace its guest's system calls";

// Has the tool traced by the test, which must then follow it with hold_at.
child_setup traced();

using syscall_entry = decltype(__ptrace_syscall_info{}.entry);

// Follows a tool started with traced(): lets it run until hold is true of a system call it is
// entering, and leaves it stopped there, before the call, until release(). If the tool ends
// first, returns false with its wait status in status.
bool hold_at(const started_tool& tool, const std::function<bool(const syscall_entry&)>& hold,
             int& status);

// Runs the tool as run_tool does, traced, and holds it at the first system call hold picks;
// there calls at_hold with its process id, then lets it go on. If the tool ends first, at_hold is
// not called. Returns how the tool ended.
run_result run_held(const fs::path& cwd, const std::vector<std::string>& args,
                    const child_setup& setup, const std::function<bool(const syscall_entry&)>& hold,
                    const std::function<void(pid_t)>& at_hold);

// Lets a tool that hold_at holds run on, to be held again as hold_at says.
bool hold_again_at(const started_tool& tool, const std::function<bool(const syscall_entry&)>& hold,
                   int& status);

void release(const started_tool& tool);

class Converter : public scratch_dir_test {
protected:
    // Expects a run that failed with exactly message on standard error and nothing else. A
    // mismatch is reported at the caller's line (file and line), with all the run gave.
    static void expect_failure(const run_result& result, const std::string& message,
                               const char* file = __builtin_FILE(), int line = __builtin_LINE());

    // Expects a silent, successful run that left output holding the conversion of raw; reported
    // likewise.
    static void expect_converted(const run_result& result, const fs::path& output, const bytes& raw,
                                 const char* file = __builtin_FILE(), int line = __builtin_LINE());
};
