// Removal of the keys of modules whose processes have ended.
#ifndef ZELT_TOOL_STALE_MODULES_H
#define ZELT_TOOL_STALE_MODULES_H

namespace zelt_tool {

// For the keys of base name `base`, deletes the module hash and the backup hash of every
// process id that no longer runs. Reports through the log only.
void clear_notrunning_modules(const char* base);

// Runs clear_notrunning_modules() for every base name of the set "module_sets", in order.
void clear_notrunning_modules_of_all_bases();

}  // namespace zelt_tool

#endif  // ZELT_TOOL_STALE_MODULES_H
