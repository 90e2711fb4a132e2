// Process ids taken from the key names of a module, and whether such a process still runs.
//
// A module of base name F and process id N keeps its parameters in the hash "F_N" and its
// backup hash "F_N_zeltbackup". F is compared character by character: no character of it has
// a special meaning.
#ifndef ZELT_TOOL_PROCESS_IDS_H
#define ZELT_TOOL_PROCESS_IDS_H

#include <cstdint>
#include <string>

namespace zelt_tool {

// The N of a key "F_N_<rest>" (N one or more decimal digits, <rest> possibly empty and without
// line breaks), or -1 when the key has another form or N does not fit a process id.
int32_t extract_process_id_module1(const std::string& base, std::string key);

// The N of a key "F_N" (N one or more decimal digits), or -1 when the key has another form or
// N does not fit a process id.
int32_t extract_process_id_module2(const std::string& base, std::string key);

// True when the process exists, also when it belongs to another user.
bool is_process_running(int pid);

}  // namespace zelt_tool

#endif  // ZELT_TOOL_PROCESS_IDS_H
