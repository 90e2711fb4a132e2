// TovZELT: the process-wide facade.
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "listener_control.h"
#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
// How long the end of the process waits for the listener threads.
constexpr std::chrono::milliseconds kListenerStopTimeout(1000);
}  // namespace

TovZELT& TovZELT::getInstance() {
    // Never freed: application threads may still be inside a call when the process ends. The
    // end-of-process teardown stops the listeners and closes the per-module connections.
    static TovZELT* const instance = [] {
        auto* facade = new TovZELT();
        std::atexit([] { getInstance().shutdown(); });
        return facade;
    }();
    return *instance;
}

TovZELT::TovZELT() {
    start_zelt();
    try {
        default_core = std::make_unique<TovZeltCore>();
    } catch (const std::runtime_error& e) {
        CORE_LOG(LOG_LEVEL_ERROR, "TovZELT: TovZeltCore construction failed: %s", e.what());
    } catch (...) {
        CORE_LOG(LOG_LEVEL_ERROR,
                 "TovZELT: TovZeltCore construction failed with unknown exception.");
    }
}

TovZELT::~TovZELT() { shutdown(); }

void TovZELT::shutdown() {
    stop_all_listeners(kListenerStopTimeout);
    std::lock_guard<std::mutex> lock(registry_mutex_);
    for (auto it = module_registry.begin(); it != module_registry.end();) {
        // An object whose listener did not end in time stays: that thread may still use it.
        if (it->second != nullptr && listener_uses(it->second.get())) {
            it->second.release();
        }
        it = module_registry.erase(it);
    }
}

bool TovZELT::ensure_zelt_ready(const char* operation) const {
    if (default_core != nullptr) return true;
    CORE_LOG(LOG_LEVEL_ERROR,
             "%s failed: TovZELT is not ready because TovZeltCore construction failed.",
             operation != nullptr ? operation : "TovZELT interface");
    return false;
}

int8_t TovZELT::init_parameter(const char* module, const char* key, const char* value) {
    if (!ensure_zelt_ready("init_parameter")) return -1;
    if (module != nullptr) extract_module(module);
    return default_core->init_param(module, key, value);
}

int8_t TovZELT::add_parameter(const char* module, const char* key, const char* value) {
    if (!ensure_zelt_ready("add_parameter")) return -1;
    return default_core->add_param(module, key, value);
}

int8_t TovZELT::update_parameter(const char* module, const char* key, const char* value) {
    if (!ensure_zelt_ready("update_parameter")) return -1;
    return default_core->update_param(module, key, value);
}

int8_t TovZELT::update_parameter_bin(const char* module, const char* key, const void* value,
                                     uint64_t length) {
    if (!ensure_zelt_ready("update_parameter_bin")) return -1;
    return default_core->update_param_bin(module, key, value, length);
}

int8_t TovZELT::delete_parameter(const char* module, const char* key) {
    if (!ensure_zelt_ready("delete_parameter")) return -1;
    return default_core->delete_param(module, key);
}

int8_t TovZELT::mod_clear(const char* module) {
    if (!ensure_zelt_ready("mod_clear")) return -1;
    return default_core->module_clear(module);
}

std::string TovZELT::get_value(const char* module, const char* key) {
    std::string value;
    if (!ensure_zelt_ready("get_value")) return value;
    default_core->get_value(module, key, value);
    return value;
}

std::string TovZELT::get_value_bin(const char* module, const char* key) {
    std::string value;
    if (!ensure_zelt_ready("get_value_bin")) return value;
    default_core->get_param_bin(module, key, value);
    return value;
}

std::vector<std::string> TovZELT::get_modules(const char* name) {
    if (!ensure_zelt_ready("get_modules")) return {};
    return default_core->get_modules(name);
}

int8_t TovZELT::add_sets_v(const char* key, const char* member) {
    if (!ensure_zelt_ready("add_sets_v")) return -1;
    return default_core->sets_add_val(key, member);
}

std::vector<std::string> TovZELT::get_sets_v(const char* key) {
    if (!ensure_zelt_ready("get_sets_v")) return {};
    return default_core->get_sets_l(key);
}

int8_t TovZELT::extract_module(const char* module) {
    if (!ensure_zelt_ready("extract_module")) return -1;
    const std::string name = module != nullptr ? module : "";
    const size_t last_underscore = name.rfind('_');
    // "<name>_<digits>" with no line break anywhere, as ".*_(\d+)" matches it whole.
    const bool conforms =
        name.find_first_of("\r\n") == std::string::npos && last_underscore != std::string::npos &&
        last_underscore + 1 < name.size() &&
        name.find_first_not_of("0123456789", last_underscore + 1) == std::string::npos;
    if (!conforms) {
        CORE_LOG(LOG_LEVEL_NOTE,
                 "TovZELT: Input module %s doesn't match requirement. Expected name format: "
                 "<module name>_<process id>",
                 name.c_str());
        return -1;
    }
    const std::string base = name.substr(0, last_underscore);
    default_core->sets_add_val("module_sets", base.c_str());
    return 0;
}

TovZeltCore* TovZELT::create_zelt_ins(const std::string& module) {
    if (!ensure_zelt_ready("create_zelt_ins")) return nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex_);
    auto found = module_registry.find(module);
    if (found != module_registry.end() && found->second != nullptr) return found->second.get();
    try {
        auto core = std::make_unique<TovZeltCore>();
        TovZeltCore* raw = core.get();
        module_registry[module] = std::move(core);
        return raw;
    } catch (const std::runtime_error& e) {
        CORE_LOG(LOG_LEVEL_ERROR,
                 "TovZELT: TovZeltCore create_zelt_ins creating instance failed: %s", e.what());
    } catch (...) {
        CORE_LOG(LOG_LEVEL_ERROR,
                 "TovZELT: TovZeltCore create_zelt_ins creating instance failed with unknown "
                 "exception.");
    }
    return nullptr;
}

int8_t TovZELT::get_change_info(const char* module, std::string& key, std::string& value) {
    if (!ensure_zelt_ready("get_change_info")) return -1;
    return default_core->get_change_notes(module, key, value);
}

int8_t TovZELT::ack_parameter(int type, const char* module, const char* key, const char* value) {
    if (!ensure_zelt_ready("ack_parameter")) return -1;
    return default_core->ack_param(type, module, key, value);
}

int8_t TovZELT::ack_parameter(int type, const char* module, const std::string& key,
                              const std::string& value) {
    if (!ensure_zelt_ready("ack_parameter")) return -1;
    return default_core->ack_param(type, module, key, value);
}

}  // namespace Tovana::TovZelt
