// The helper as a process: starting it, and telling whether a process id is still one.
#pragma once

#include <sys/types.h>

#include <string>

namespace nimbra::host {

// nimbra-wheel installed beside this library, else the name alone (looked up on PATH).
std::string default_helper();

// Starts `binary -Dir dir` in a process group of its own (Ctrl+C in the host's terminal is the
// host's to handle), with default signal handling and nothing but the standard streams open.
// Its standard error goes to a pipe whose read end (non-blocking) lands in `stderr_fd`. With
// `end_with_host` it gets SIGTERM when this process ends. Throws StartError when it cannot be
// run.
pid_t spawn_helper(const std::string& binary, const std::string& dir, int& stderr_fd,
                   bool end_with_host);

// The helper serving `dir`, by the lock it holds on helper.lock or by a fresh heartbeat of a
// live nimbra-wheel; 0 when none does.
pid_t serving_helper(const std::string& dir);

// Appends what the pipe holds now to `text`; false once the writer has closed it.
bool drain_pipe(int fd, std::string& text);

// The process runs and may be signalled by us (a zombie has ended).
bool process_alive(pid_t pid);

// The process runs a program named nimbra-wheel, so a recycled process id is never signalled.
bool is_helper_process(pid_t pid);

// Collects `pid` if it has ended, without waiting; its exit status or -1 while it runs
// (128 + n for a signal n).
int reap(pid_t pid);

}  // namespace nimbra::host
