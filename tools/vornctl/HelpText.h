// vornctl's help beyond the one-line command summaries: per-command help with an example, the
// exit codes, the man page and the bash completion script, all generated from the command
// registry (Command.h) so that a new command appears everywhere by registering itself.
//
// Thread rule: main thread only; output goes to stdout.
#pragma once

#include "tools/vornctl/Command.h"

namespace vornctl {

/// "exit status: ..." lines shared by `vornctl --help`, every command's --help and the man page.
extern const char* const kExitCodes;

/// Prints `vornctl CMD --help`'s common part: usage, example, server options and exit codes.
/// Returns true when the command prints more help of its own when run with --help.
bool printCommandHelp(const Command& command);

/// The man page vornctl(1) in troff.
void printManPage();

/// A bash completion script for vornctl (commands, then their options).
void printBashCompletion();

}  // namespace vornctl
