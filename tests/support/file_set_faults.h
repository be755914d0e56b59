#pragma once

#include <string>

// How one step of a file set's replacement goes wrong in a test: it fails, the process
// is killed before it, or (for a "check NAME" step) the staged file is cut to half its
// length just before it is read back, as a write that failed only when flushed leaves it.
enum class SetFault { Fail, Kill, Cut };

// Makes `step` of the next replacements in `dir` go wrong; clearFault() undoes it.
void injectFault(const std::string& dir, const std::string& step, SetFault fault);
void clearFault();
// Whether `fault` can happen at `step` at all.
bool faultApplies(const std::string& step, SetFault fault);
const char* faultName(SetFault fault);
// The files of a folder with their bytes, in name order: a whole set, old or new, and
// nothing left beside it.
std::string folderText(const std::string& dir);
