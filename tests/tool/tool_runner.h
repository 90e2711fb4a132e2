// Running zelt_tool as an operator does, and preparing the store for it.
#ifndef TOVZELT_TOOL_RUNNER_H
#define TOVZELT_TOOL_RUNNER_H

#include <string>
#include <vector>

#include "test_support.h"

namespace tool_test {

// The help text as the operator sees it.
extern const char* const kHelpText;

// A fresh directory of its own, removed with everything in it at destruction.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// How to run the tool besides its words.
struct ToolRun {
    // Working directory; empty: a scratch directory shared by the runs of this process.
    std::string working_directory;
    // When set, every log line of the tool's process is appended to this file.
    std::string log_file;
};

// Runs the tool under test with `words` after the program name.
tovzelt_test::CommandResult run_tool(const std::vector<std::string>& words,
                                     const ToolRun& how = {});

// A process id that no process has or can have: above the system's largest process id.
int surely_dead_pid(int offset = 1);

// The modules of one test: base names whose keys are removed (and which leave "module_sets")
// when the object is made and when it goes.
class StoreModules {
public:
    explicit StoreModules(tovzelt_test::RawRedis& redis) : redis_(redis) {}
    ~StoreModules();
    StoreModules(const StoreModules&) = delete;
    StoreModules& operator=(const StoreModules&) = delete;

    // A base name of this test; `listed` adds it to "module_sets", so that runs clean it up.
    std::string base(const std::string& prefix, bool listed);
    // A base name given whole (for names that unique_name cannot form).
    void adopt_base(const std::string& base, bool listed);
    // Writes one field into the hash `key`.
    void hset(const std::string& key, const std::string& field, const std::string& value);
    // A module as its init leaves it: the module hash and its backup hash, each with `field`.
    void initialised_module(const std::string& module, const std::string& field,
                            const std::string& value);

private:
    void remove_keys_of(const std::string& base);
    tovzelt_test::RawRedis& redis_;
    std::vector<std::string> bases_;
};

}  // namespace tool_test

#endif  // TOVZELT_TOOL_RUNNER_H
