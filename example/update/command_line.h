// The commands of zelt_tool: set, add, del and query one parameter of one module.
#ifndef ZELT_TOOL_COMMAND_LINE_H
#define ZELT_TOOL_COMMAND_LINE_H

#include <string>

namespace zelt_tool {

// True when the store holds at least one key named "<module>_...": for a full module name its
// backup hash, for a base name any module of that base name.
bool is_module_exists(const std::string& module);

// Takes module, key and value from the command line (the program name is word 0), checks that
// the module exists and carries out the command word 1 names. Prints every message on
// standard output and returns the exit status.
int run_command_line(int argc, const char* const argv[]);

}  // namespace zelt_tool

#endif  // ZELT_TOOL_COMMAND_LINE_H
