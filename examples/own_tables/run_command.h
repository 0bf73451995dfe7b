/* SPDX-License-Identifier: Apache-2.0 */
/* Runs a command in a child process while the caller keeps its pool open:
 * how a server runs its clients. The includer defines _POSIX_C_SOURCE
 * 200809L (fork, execvp, waitpid) before its first system header. */
#ifndef RUN_COMMAND_H
#define RUN_COMMAND_H

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

/* The exit status of `command` (null-terminated; empty: 0), or 1 when it
 * cannot be run or ends without exiting. */
static inline int run_command(char **command) {
  int status;
  pid_t child;
  if (command[0] == NULL) return 0;
  fflush(stdout); /* what this process printed comes before the command's output */
  child = fork();
  if (child == 0) {
    execvp(command[0], command);
    _exit(127);
  }
  if (child < 0 || waitpid(child, &status, 0) != child) return perror("run"), 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

#endif /* RUN_COMMAND_H */
