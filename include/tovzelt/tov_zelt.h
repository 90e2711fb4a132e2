// TovZELT: the process-wide facade behind the exported functions.
//
// It owns `default_core`, through which every parameter operation runs, and the registry of
// per-module objects that the notification listeners use. It is ready exactly when
// `default_core` could be built (its dedicated connection opened); a facade that is not ready
// stays so for the life of the process and fails every operation fast.
//
// Thread safety: getInstance() builds the facade once; callers that arrive meanwhile wait.
// The parameter operations take no lock. `module_registry` is guarded by `registry_mutex_`.
//
// Lifetime: built on the first getInstance() and never freed. At process exit (or library
// unload) the listeners are stopped first; then the per-module objects whose listeners have
// ended are deleted, closing their connections. `default_core` stays: application threads may
// still be inside a call at that point; its one connection closes with the process.
#ifndef TOVZELT_TOV_ZELT_H
#define TOVZELT_TOV_ZELT_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tovzelt/export.h"
#include "tovzelt/tov_zelt_core.h"

namespace Tovana::TovZelt {

class TOVZELT_API TovZELT {
public:
    static TovZELT& getInstance();

    TovZELT(const TovZELT&) = delete;
    TovZELT& operator=(const TovZELT&) = delete;

    // True when ready; otherwise logs that `operation` failed and returns false.
    bool ensure_zelt_ready(const char* operation) const;

    int8_t init_parameter(const char* module, const char* key, const char* value);
    int8_t add_parameter(const char* module, const char* key, const char* value);
    int8_t update_parameter(const char* module, const char* key, const char* value);
    int8_t update_parameter_bin(const char* module, const char* key, const void* value,
                                uint64_t length);
    int8_t delete_parameter(const char* module, const char* key);
    int8_t mod_clear(const char* module);
    std::string get_value(const char* module, const char* key);
    std::string get_value_bin(const char* module, const char* key);
    std::vector<std::string> get_modules(const char* name);
    int8_t add_sets_v(const char* key, const char* member);
    std::vector<std::string> get_sets_v(const char* key);
    // Records the base name of a conforming module name in "module_sets"; 0, or -1 when the
    // name does not conform.
    int8_t extract_module(const char* module);
    // The per-module object for exactly this name, built on first use; null on failure.
    // The object stays owned by the facade.
    TovZeltCore* create_zelt_ins(const std::string& module);

    int8_t get_change_info(const char* module, std::string& key, std::string& value);
    int8_t ack_parameter(int type, const char* module, const char* key, const char* value);
    int8_t ack_parameter(int type, const char* module, const std::string& key,
                         const std::string& value);

private:
    TovZELT();
    ~TovZELT();
    void shutdown();  // the end-of-process teardown

    std::unique_ptr<TovZeltCore> default_core;
    std::unordered_map<std::string, std::unique_ptr<TovZeltCore>>
        module_registry;  // registry_mutex_
    mutable std::mutex registry_mutex_;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_TOV_ZELT_H
