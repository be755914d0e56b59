#pragma once

#include <functional>
#include <string>
#include <vector>

// Replaces several files of one folder as a set: whatever fails, and after a crash at
// any point once recover() has run, the folder holds either the whole old set or the
// whole new one.
//
// The new files are written beside their final names, read back and synced. Then the
// journal "DIR/replacing.xml" is written whole (temporary file, sync, rename); while it
// exists the replacement is unfinished and is undone: the old files are renamed to
// backups, the new ones into place, and removing the journal is the moment the new set
// counts. recover() undoes a replacement whose journal a crash left behind, and clears
// staged files and backups. OpenCV only.
namespace file_set {

struct File {
    std::string name; // inside the folder, with its extension
    // Writes the file at the given path (the staged name); false when it failed.
    std::function<bool(const std::string& path)> write;
    // Reads the file at the given path back; false when it does not hold what was written.
    std::function<bool(const std::string& path)> check;
};

inline const std::string journalName = "replacing.xml";

// Where `name` is written before it replaces the old file, and where the old file waits
// until the new set counts; both keep the extension, which selects the file writer.
std::string stagedName(const std::string& name);
std::string backupName(const std::string& name);

// Writes `files` and removes `removals` (names in `dir`) as one set, after recovering
// what an earlier crash left. False with `why` (a sentence) and `failed` (the name of the
// file at fault) when the new set could not be made to count: the old set is then in
// place again, unless a console line said it could not be put back.
bool replace(const std::string& dir, const std::vector<File>& files,
             const std::vector<std::string>& removals, std::string& why, std::string& failed);

// Undoes an unfinished replacement in `dir` (its journal is there) and removes staged
// files and backups of `names`. False, with one console line, when the old set could not
// be put back; the journal then stays for the next try.
bool recover(const std::string& dir, const std::vector<std::string>& names);

// Testing: called before each step of replace() with the step's name ("write NAME",
// "check NAME", "sync NAME", "journal", "back up NAME", "rename NAME", "sync folder",
// "finish", "clean"). Go runs the step, Fail makes it fail, Stop abandons the replacement there
// as a killed process would (nothing is cleaned up).
enum class Step { Go, Fail, Stop };
extern std::function<Step(const std::string& step)> beforeStep;

} // namespace file_set
