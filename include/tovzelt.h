// libtovzelt: a live, shared store of configuration parameters for the processes of one
// machine, kept in a local Redis server (127.0.0.1:10240, database 0).
//
// A process registers modules named "<name>_<pid>"; each module's parameters are the fields of
// a hash of that name, and "<module>_zeltbackup" holds the values as the module last accepted
// them. Other parties change a module by writing its hash; the module hears of it through its
// change callback and drains the pending changes with get_change_notes().
//
// Conventions of the functions below:
// - Text goes in as NUL-terminated strings; null is allowed everywhere and refused with -1 or an
//   empty result. The library does not keep the pointers.
// - Writes and deletes return 0 on success and -1 on failure; reads return an empty string or
//   list on any failure. Causes go to the log (tovclog).
// - Every function may be called from any thread.
#ifndef TOVZELT_H
#define TOVZELT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tovzelt/connection_pool.h"
#include "tovzelt/export.h"
#include "tovzelt/tov_zelt.h"
#include "tovzelt/tov_zelt_core.h"
#include "tovzelt/zelt_op.h"

namespace Tovana::TovZelt {

// Identification; these touch no state.
TOVZELT_API std::string get_library_version();
TOVZELT_API const char* get_build_version();
TOVZELT_API const char* get_build_meta();
TOVZELT_API const char* get_build_id();

// Parameters. init_param writes the backup hash and the module hash and records the module's
// base name in "module_sets"; add_param and update_param write the module hash only, so the
// change shows in get_change_notes().
TOVZELT_API int8_t init_param(const char* module, const char* key, const char* value);
TOVZELT_API int8_t add_param(const char* module, const char* key, const char* value);
TOVZELT_API int8_t update_param(const char* module, const char* key, const char* value);
// Writes `length` bytes (zero bytes included) into the module hash. A length of 0 or below is
// refused.
TOVZELT_API int8_t update_param_bin(const char* module, const char* key, const void* value,
                                    int32_t length);
TOVZELT_API int8_t delete_param(const char* module, const char* key);
// Deletes the one key `module` (the backup hash and "module_sets" are left alone).
TOVZELT_API int8_t module_clear(const char* module);
TOVZELT_API std::string get_param(const char* module, const char* key);
TOVZELT_API std::string get_param_bin(const char* module, const char* key);
// Every key named "<name>_*": module hashes and backup hashes alike.
TOVZELT_API std::vector<std::string> get_modules(const char* name);
TOVZELT_API int8_t add_sets_value(const char* key, const char* member);
TOVZELT_API std::vector<std::string> get_sets_l(const char* key);

// Reports the next pending change of `module` (1 update, 2 delete, 3 add; 0 none; -1 failure)
// with its field in `key` and its value in `value`, and acknowledges it. The out-parameters
// are left alone on 0 and -1.
TOVZELT_API int8_t get_change_notes(const char* module, std::string& key, std::string& value);

// Starts a listener thread that calls `callback` with (event name, key, "pmessage") for every
// keyspace event of the store, one per second at most. A second call for the same module adds
// its callback to the running listener.
TOVZELT_API void zelt_callback(const char* module, ChangeCallback callback);

// Server control: run the startup script (then pause 100 ms) or the shutdown script.
TOVZELT_API void start_zelt();
TOVZELT_API void stop_zelt();
// 0 from load until the first stop_zelt(), then 1.
extern TOVZELT_API int32_t g_restart_flag;

// Free-form commands. The text is split into words at spaces (tabs do not split) and the words
// are sent as they stand. exec: 0 once the command went out, -1 otherwise. query: the reply's
// text when it is a string, else empty.
TOVZELT_API int exec_cmd_in_redis(std::string command);
TOVZELT_API std::string query_cmd_in_redis(std::string command);

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_H
